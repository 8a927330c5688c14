#include "ignore_rules.h"

#include <QFile>

namespace {

// What editors leave beside a file while it is open or saved: never a page of the site. 4913 is
// the name vim writes to test whether it may create files.
bool editor_leftover(const QString& name) {
    return name.endsWith(u'~') ||
           (name.size() > 1 && name.startsWith(u'#') && name.endsWith(u'#')) ||
           name.endsWith(u".swp") || name.endsWith(u".swo") || name.endsWith(u".swx") ||
           name == u"4913";
}

QString wildcard(const QString& pattern) {
    return QRegularExpression::wildcardToRegularExpression(
        pattern, QRegularExpression::UnanchoredWildcardConversion);
}

} // namespace

ignore_rules ignore_rules::of(const QString& local_dir) {
    QFile file(local_dir + u'/' + file_name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return from_text(QString::fromUtf8(file.readAll()));
}

ignore_rules ignore_rules::from_text(const QString& text) {
    ignore_rules read;
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(u'#'))
            continue;
        rule next;
        next.folder_only = line.endsWith(u'/');
        if (next.folder_only)
            line.chop(1);
        const bool anchored = line.startsWith(u'/');
        if (anchored)
            line.remove(0, 1);
        if (line.isEmpty())
            continue; // "/" alone would skip the whole site: no rule at all
        next.whole_path = anchored || line.contains(u'/');
        const QString prefix =
            anchored || !next.whole_path ? QString() : QStringLiteral("(?:.*/)?");
        next.pattern = QRegularExpression(u'^' + prefix + wildcard(line) + u'$');
        if (next.pattern.isValid())
            read.rules << next;
    }
    return read;
}

bool ignore_rules::skips(const QString& relative, bool folder) const {
    const QString name = relative.section(u'/', -1);
    if (name.startsWith(u'.') || (!folder && editor_leftover(name)))
        return true;
    for (const rule& each : rules)
        if ((folder || !each.folder_only) &&
            each.pattern.match(each.whole_path ? relative : name).hasMatch())
            return true;
    return false;
}
