#pragma once

#include <QString>
#include <functional>
#include <optional>

// Whether a text holds a character below U+0020 (CR, LF, NUL...), which could end or inject a
// command.
bool has_control_character(const QString& text);

// The argument of "PUT <local> <remote>", taken apart.
struct put_paths {
    QString local;
    QString remote_directory; // up to and with its last "/", or empty
    QString page;             // the remote path's last component; empty when it names no file
};

// The local part is the text before the first blank for which `names_file` holds, so blanks
// inside directory and page names keep working; nullopt when there is no such blank.
std::optional<put_paths> split_put_argument(const QString& argument,
                                            const std::function<bool(const QString&)>& names_file);
