#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>

// Which files and folders of the site are never published: names that begin with ".", editors'
// leftovers, and what the file .ftp-publisher-ignore in the local directory names.
class ignore_rules final {
public:
    // The built-in rules and those of `local_dir`'s ignore file, when it has one: one pattern a
    // line; blank lines and "#" comments ignored; "*" and "?" as in file names; a trailing "/"
    // for a folder and all below it; a leading "/" anchors it at the local directory; any other
    // pattern matches a name, or the end of a path, at any depth.
    static ignore_rules of(const QString& local_dir);
    static ignore_rules from_text(const QString& text);

    // `relative`: below the local directory, "/" between folders.
    bool skips(const QString& relative, bool folder) const;

    static inline const QString file_name = QStringLiteral(".ftp-publisher-ignore");

private:
    struct rule {
        QRegularExpression pattern;
        bool folder_only = false;
        bool whole_path = false; // else the last name alone
    };
    QList<rule> rules;
};
