#include "save_watch.h"

#include "file_snapshot.h"
#include "fixed_texts.h"
#include "ignore_rules.h"
#include "instance_client.h"
#include "stop_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

// Watches the folders, not only the files: a file renamed over the old one is a new file, which a
// watch on the old one never hears of. One publish at a time: it blocks the event loop, and the
// saves meanwhile wait in the folder watch's queue, so at most one publish waits behind it. Saves
// that settle together go in one request, so over one login. A watched folder brings every file
// below it that the ignore rules let through, and every file and folder made there later.
class save_watch final : public QObject {
public:
    save_watch(const instance_address& address, const QString& program,
               const QList<watched_file>& files);

    // Empty once every folder is watched; else why not.
    QString start();

private:
    struct entry {
        watched_file file;
        QString folder;
        file_version seen;
        QTimer settle;
        bool told_gone = false;
        QTimer again; // after a failure that may pass: 5 s, then twice as long, up to 5 min
        bool retrying = false;
    };
    // A watched folder and all below it: its names relative to the local directory `site`.
    struct tree {
        QString root;
        QString site;
        ignore_rules rules;
    };

    entry& add(const watched_file& file);
    void add_tree_folder(const tree& below, const QString& folder, bool fresh);
    const tree* tree_of(const QString& folder) const;
    void folder_changed(const QString& folder);
    void look_at(entry& watched, bool file_itself = false);
    void settled(entry& watched);
    void publish_settled();

    const instance_address address;
    const QString program;
    std::vector<std::unique_ptr<entry>> entries;
    std::vector<tree> trees;
    QStringList tree_folders; // every folder of every tree, watched
    QList<entry*> ready;      // settled, waiting for the others that settle with them
    QFileSystemWatcher watcher;
};

save_watch::save_watch(const instance_address& address, const QString& program,
                       const QList<watched_file>& files)
    : address(address), program(program) {
    for (const watched_file& file : files) {
        if (file.site.isEmpty())
            add(file);
        else
            trees.push_back({file.path, file.site, ignore_rules::of(file.site)});
    }
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &save_watch::folder_changed);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
        for (const auto& watched : entries)
            if (watched->file.path == path)
                look_at(*watched, true);
    });
}

save_watch::entry& save_watch::add(const watched_file& file) {
    auto watched = std::make_unique<entry>();
    watched->file = file;
    watched->folder = QFileInfo(file.path).absolutePath();
    watched->seen = version_of(file.path);
    watched->settle.setSingleShot(true);
    watched->settle.setInterval(save_settle_ms);
    connect(&watched->settle, &QTimer::timeout, this,
            [this, found = watched.get()] { settled(*found); });
    watched->again.setSingleShot(true);
    connect(&watched->again, &QTimer::timeout, this,
            [this, found = watched.get()] { settled(*found); });
    entries.push_back(std::move(watched));
    return *entries.back();
}

// Watches `folder` and what the rules let through below it; files not seen before (`fresh`: in
// a folder made while watching) count as saved.
void save_watch::add_tree_folder(const tree& below, const QString& folder, bool fresh) {
    if (!tree_folders.contains(folder)) {
        tree_folders << folder;
        watcher.addPath(folder);
    }
    const QString prefix = below.site + u'/';
    const QFileInfoList found = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& info : found) {
        const QString relative = info.filePath().mid(prefix.size());
        if (below.rules.skips(relative, info.isDir()))
            continue;
        if (info.isDir() && !info.isSymLink()) {
            add_tree_folder(below, info.filePath(), fresh);
            continue;
        }
        if (!info.isFile() || std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
                return e->file.path == info.filePath();
            }))
            continue;
        entry& added = add(watched_file{info.filePath(), relative, {}});
        watcher.addPath(info.filePath());
        if (fresh) {
            added.seen = {};
            look_at(added);
        }
    }
}

const save_watch::tree* save_watch::tree_of(const QString& folder) const {
    for (const tree& each : trees)
        if (folder == each.root || folder.startsWith(each.root + u'/'))
            return &each;
    return nullptr;
}

QString save_watch::start() {
    for (const tree& each : trees) {
        if (!QFileInfo(each.root).isDir())
            return desktop_text::tr("the folder %1 does not exist").arg(each.root);
        add_tree_folder(each, each.root, false);
    }
    for (const auto& watched : entries) {
        if (!QFileInfo(watched->folder).isDir())
            return desktop_text::tr("the folder %1 does not exist").arg(watched->folder);
        if (!watcher.directories().contains(watched->folder) && !watcher.addPath(watched->folder))
            return desktop_text::tr("the folder %1 cannot be watched").arg(watched->folder);
        if (QFileInfo::exists(watched->file.path))
            watcher.addPath(watched->file.path);
    }
    return {};
}

void save_watch::folder_changed(const QString& folder) {
    const QFileInfo info(folder);
    const tree* below = tree_of(folder);
    // A folder below a watched one may go; its files then say they are gone.
    if (below && folder != below->root && !info.isDir()) {
        tree_folders.removeAll(folder);
        watcher.removePath(folder);
    } else if (!info.isDir() || !info.isReadable()) {
        say(stderr,
            fixed_text::title_failed.toString() + QStringLiteral(": ") +
                desktop_text::tr("the watched folder %1 is gone or unreadable").arg(folder));
        QCoreApplication::exit(1);
        return;
    }
    // New files and folders first: they are entries by the time the loop below looks.
    if (below && info.isDir())
        add_tree_folder(*below, folder, true);
    for (const auto& watched : entries)
        if (watched->folder == folder)
            look_at(*watched);
}

void save_watch::look_at(entry& watched, bool file_itself) {
    // Watched anew each time: after a rename over it, the old watch is on a file that is gone.
    const QString& path = watched.file.path;
    if (watcher.files().contains(path))
        watcher.removePath(path);
    if (QFileInfo::exists(path))
        watcher.addPath(path);
    const file_version now = version_of(path);
    // Another file of the folder; the file's own event is a save even when its size and time
    // stamps stay (a same-size save on a file system that counts in whole seconds, or two).
    if (now == watched.seen && !file_itself)
        return;
    watched.seen = now;
    // A new save ends the tries of the one before: it is published by itself.
    watched.again.stop();
    watched.retrying = false;
    watched.settle.start();
}

void save_watch::settled(entry& watched) {
    if (stop_signals::requested())
        return;
    if (!QFileInfo::exists(watched.file.path)) {
        if (!std::exchange(watched.told_gone, true))
            say(stdout, desktop_text::tr("%1: gone; published again once it is back")
                            .arg(watched.file.shown));
        return publish_settled();
    }
    watched.told_gone = false;
    if (!ready.contains(&watched))
        ready << &watched;
    publish_settled();
}

// Once no other save is still settling: one request for all that settled meanwhile.
void save_watch::publish_settled() {
    if (ready.isEmpty() || std::any_of(entries.begin(), entries.end(),
                                       [](const auto& e) { return e->settle.isActive(); }))
        return;
    const QList<entry*> sent = std::exchange(ready, {});
    QStringList paths;
    QStringList quiet; // tried again: their failure was said the first time
    for (const entry* each : sent) {
        paths << each->file.path;
        if (each->retrying)
            quiet << each->file.path;
    }
    QStringList passing;
    publish_through_instance(address, program, paths, &passing, quiet);
    for (entry* each : sent) {
        // A refused login or a lasting refusal waits for the next save: hosts lock accounts out.
        if (!passing.contains(each->file.path)) {
            each->retrying = false;
            continue;
        }
        const int last = each->retrying ? each->again.interval() : 0;
        each->again.start(last == 0 ? retry_first_ms : std::min(2 * last, retry_longest_ms));
        each->retrying = true;
    }
}

} // namespace

int watch_saves(const instance_address& address, const QString& program, const QStringList& files) {
    stop_signals stops;
    QList<watched_file> watched;
    if (const int code = ask_what_to_watch(address, program, files, &watched))
        return code;
    save_watch watch(address, program, watched);
    if (const QString fault = watch.start(); !fault.isEmpty()) {
        say(stderr, fixed_text::title_failed.toString() + QStringLiteral(": ") + fault);
        return 1;
    }
    QStringList names;
    for (const watched_file& file : watched)
        names << (file.site.isEmpty() ? file.shown : file.path + u'/');
    say(stderr,
        desktop_text::tr("Watching %1; Ctrl-C ends.").arg(names.join(QStringLiteral(", "))));
    QObject::connect(&stops, &stop_signals::stop, &watch, [] { QCoreApplication::exit(0); });
    return stop_signals::requested() ? 0 : QCoreApplication::exec();
}
