#pragma once

#include <QString>

// The folder that holds ftpserver.ini: the program's own folder wherever that works (a file
// already there, or a folder the user may write in that is not an installed copy's), otherwise
// the user's configuration folder.
// An installed copy thus keeps its settings per user, and a copy in a folder of its own (the
// build, the demo) keeps them beside itself.
QString settings_folder(const QString& program_dir, const QString& config_dir);

// The same for this program: its executable's folder and ~/.config/ftp-publisher.
QString settings_folder();

// Creates the user's configuration folder if `path` lies in it and it is missing. Throws
// settings_failure naming `path` and the folder when it cannot be created.
void make_settings_folder(const QString& path);
