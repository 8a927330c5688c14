#include "put_command.h"

#include <algorithm>

bool has_control_character(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20; });
}

std::optional<put_paths> split_put_argument(const QString& argument,
                                            const std::function<bool(const QString&)>& names_file) {
    for (qsizetype blank = argument.indexOf(u' '); blank >= 0;
         blank = argument.indexOf(u' ', blank + 1)) {
        const QString local = argument.left(blank);
        if (!names_file(local))
            continue;
        const QString remote = argument.mid(blank + 1);
        const qsizetype slash = remote.lastIndexOf(u'/');
        return put_paths{local, remote.left(slash + 1), remote.mid(slash + 1)};
    }
    return std::nullopt;
}
