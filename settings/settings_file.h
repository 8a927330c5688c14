#pragma once

#include <QString>
#include <array>
#include <stdexcept>

class QLineEdit;

// The six text boxes in the order of the lines of ftpserver.ini.
using setting_boxes = std::array<QLineEdit*, 6>;

// what() is the message for the user, in UTF-8: it names the file and what is wrong.
class settings_failure final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

QString settings_path(const QString& directory);

// Throws the settings_failure of a Save to `path` that failed for `reason`, for the steps before
// the file itself (its folder, say).
[[noreturn]] void fail_to_save(const QString& path, const QString& reason);

// Where Save puts the password: on line 3 of the file, or in the keyring, line 3 then empty.
enum class password_place { file, keyring };

// A path that names no regular file counts as missing: load_settings then leaves the boxes alone.
// Both throw settings_failure, before any box has changed (load) or before the old file is
// replaced (save).
void load_settings(const QString& path, const setting_boxes& boxes);
void save_settings(const QString& path, const setting_boxes& boxes,
                   password_place place = password_place::file);
// Throws the settings_failure that save_settings would throw for texts the file cannot hold.
void check_settings_fit(const QString& path, const setting_boxes& boxes);
