#include "save_watch.h"

#include "file_snapshot.h"
#include "fixed_texts.h"
#include "instance_client.h"
#include "stop_signals.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

// Watches the folders, not only the files: a file renamed over the old one is a new file, which a
// watch on the old one never hears of. One publish at a time: it blocks the event loop, and the
// saves meanwhile wait in the folder watch's queue, so at most one publish waits behind it.
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
    };

    void folder_changed(const QString& folder);
    void look_at(entry& watched, bool file_itself = false);
    void settled(entry& watched);

    const instance_address address;
    const QString program;
    std::vector<std::unique_ptr<entry>> entries;
    QFileSystemWatcher watcher;
};

save_watch::save_watch(const instance_address& address, const QString& program,
                       const QList<watched_file>& files)
    : address(address), program(program) {
    for (const watched_file& file : files) {
        auto watched = std::make_unique<entry>();
        watched->file = file;
        watched->folder = QFileInfo(file.path).absolutePath();
        watched->seen = version_of(file.path);
        watched->settle.setSingleShot(true);
        watched->settle.setInterval(save_settle_ms);
        connect(&watched->settle, &QTimer::timeout, this,
                [this, found = watched.get()] { settled(*found); });
        entries.push_back(std::move(watched));
    }
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &save_watch::folder_changed);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
        for (const auto& watched : entries)
            if (watched->file.path == path)
                look_at(*watched, true);
    });
}

QString save_watch::start() {
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
    if (!info.isDir() || !info.isReadable()) {
        say(stderr,
            fixed_text::title_failed.toString() + QStringLiteral(": ") +
                desktop_text::tr("the watched folder %1 is gone or unreadable").arg(folder));
        QCoreApplication::exit(1);
        return;
    }
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
    watched.settle.start();
}

void save_watch::settled(entry& watched) {
    if (stop_signals::requested())
        return;
    if (!QFileInfo::exists(watched.file.path)) {
        if (!std::exchange(watched.told_gone, true))
            say(stdout, desktop_text::tr("%1: gone; published again once it is back")
                            .arg(watched.file.shown));
        return;
    }
    watched.told_gone = false;
    publish_through_instance(address, program, QStringList{watched.file.path});
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
        names << file.shown;
    say(stderr,
        desktop_text::tr("Watching %1; Ctrl-C ends.").arg(names.join(QStringLiteral(", "))));
    QObject::connect(&stops, &stop_signals::stop, &watch, [] { QCoreApplication::exit(0); });
    return stop_signals::requested() ? 0 : QCoreApplication::exec();
}
