#pragma once

#include <QString>
#include <array>

class QLineEdit;

// The six text boxes in the order of the lines of ftpserver.ini.
using setting_boxes = std::array<QLineEdit*, 6>;

QString settings_path(const QString& directory);

// Both throw on failure, before any box has changed (load) or before the old file is replaced
// (save).
void load_settings(const QString& path, const setting_boxes& boxes);
void save_settings(const QString& path, const setting_boxes& boxes);
