#include "remote_directory.h"

#include <algorithm>

QStringList last_folders(const QString& directory, int levels) {
    const QStringList parts = directory.split(u'/', Qt::SkipEmptyParts);
    const QString root = directory.startsWith(u'/') ? QStringLiteral("/") : QString();
    QStringList folders;
    for (qsizetype depth = std::max<qsizetype>(0, parts.size() - levels); depth < parts.size();
         ++depth)
        folders << root + parts.first(depth + 1).join(u'/');
    return folders;
}
