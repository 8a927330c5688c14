#pragma once

#include "transfer_error.h"

#include <QList>
#include <QString>
#include <QStringList>

// A file of the site besides the page: where it is here, and where it goes below the remote
// directory.
struct site_file {
    QString local;    // links and ".." resolved: what is read
    QString relative; // below the local directory, "/" between folders: "blog/neu.html"; a
                      // link's own name, not its target's
};

// `path` (absolute, as given) as a file of the site in `local_dir`, the setting. Refused,
// kind::refused and nothing to publish, when it lies outside once links and ".." are resolved,
// names a folder or holds a control character, or when the setting names no folder. A missing file
// inside is a site file: publishing it fails as the page's would.
transfer_result<site_file> site_file_for(const QString& local_dir, const QString& path);
// The remote directory, the setting as typed, followed by the relative path; a "/" put between
// them when the setting does not end in one.
QString remote_path_for(const QString& remote_dir, const QString& relative);

// How many folders of the file's remote path lie below the remote directory.
int folders_below(const QString& relative);
