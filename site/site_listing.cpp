#include "site_listing.h"

#include "ignore_rules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace {

struct site_text final {
    Q_DECLARE_TR_FUNCTIONS(site)
};

class walker final {
public:
    walker(const QString& root, ignore_rules rules)
        : root(root), prefix(root.endsWith(u'/') ? root : root + u'/'), rules(std::move(rules)) {}

    void walk(const QString& folder, const QString& relative_folder);
    site_listing found;

private:
    void add_file(const QFileInfo& info, const QString& relative);

    const QString root;
    const QString prefix;
    const ignore_rules rules;
};

void walker::walk(const QString& folder, const QString& relative_folder) {
    const QDir dir(folder);
    if (!QFileInfo(folder).isReadable() || !QFileInfo(folder).isExecutable()) {
        found.unreadable << site_listing::fault{
            relative_folder, site_text::tr("the folder %1 cannot be read").arg(folder)};
        return;
    }
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString relative = relative_folder.isEmpty()
                                     ? entry.fileName()
                                     : relative_folder + u'/' + entry.fileName();
        const bool folder_entry = entry.isDir();
        if (rules.skips(relative, folder_entry))
            continue;
        // A linked folder's files are reached where they are, once: no loops.
        if (folder_entry && !entry.isSymLink())
            walk(entry.filePath(), relative);
        else if (entry.isFile())
            add_file(entry, relative);
    }
}

void walker::add_file(const QFileInfo& info, const QString& relative) {
    QString local = info.filePath();
    if (info.isSymLink()) {
        local = info.canonicalFilePath();
        if (!local.startsWith(prefix)) {
            found.skipped << site_text::tr("skipped: %1: a link to %2, outside the local directory")
                                 .arg(relative, info.symLinkTarget());
            return;
        }
    }
    const QFileInfo target(local);
    found.files << site_entry{relative, local, target.size(),
                              target.lastModified().toMSecsSinceEpoch(),
                              target.metadataChangeTime().toMSecsSinceEpoch()};
}

} // namespace

QString local_directory_fault(const QString& local_dir) {
    if (local_dir.isEmpty())
        return site_text::tr("no local directory is set");
    if (!QFileInfo(local_dir).isDir())
        return site_text::tr("the local directory %1 is not a folder").arg(local_dir);
    return {};
}

site_scan list_site(const QString& local_dir) {
    const QFileInfo folder(local_dir);
    if (const QString fault = local_directory_fault(local_dir); !fault.isEmpty())
        return {{}, fault};
    if (!folder.isReadable() || !folder.isExecutable())
        return {{}, site_text::tr("the local directory %1 cannot be read").arg(local_dir)};
    const QString root = folder.canonicalFilePath();
    walker walk(root, ignore_rules::of(root));
    walk.walk(root, QString());
    std::sort(walk.found.files.begin(), walk.found.files.end(),
              [](const site_entry& a, const site_entry& b) { return a.relative < b.relative; });
    return {walk.found, {}};
}
