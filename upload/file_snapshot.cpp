#include "file_snapshot.h"

#include "upload_text.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QThread>
#include <atomic>
#include <optional>
#include <thread>

namespace {

constexpr int attempts = 3;
constexpr qint64 piece_size = 64 * 1024;

transfer_error broken(const QString& text) {
    return {transfer_error::kind::broken, text};
}

// The bytes copied, or -1 when reading or writing failed.
qint64 copy_all(QFile& from, QFile& to, QCryptographicHash& hash) {
    QByteArray piece;
    qint64 copied = 0;
    while (!(piece = from.read(piece_size)).isEmpty()) {
        if (to.write(piece) != piece.size())
            return -1;
        hash.addData(piece);
        copied += piece.size();
    }
    return from.error() == QFileDevice::NoError && to.flush() ? copied : -1;
}

} // namespace

file_version version_of(const QString& path) {
    const QFileInfo file(path);
    return {file.size(), file.lastModified(), file.metadataChangeTime()};
}

transfer_result<private_copy> snapshot_of(const QString& path) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!QFileInfo(path).isFile())
            return broken(upload_text::tr("local file not found: %1").arg(path));
        const file_version before = version_of(path);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return broken(
                upload_text::tr("local file cannot be read: %1: %2").arg(path, file.errorString()));
        auto copy = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                     QStringLiteral("/ftp-publisher-XXXXXX"));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        const qint64 copied = copy->open() ? copy_all(file, *copy, hash) : -1;
        if (copied < 0)
            return broken(upload_text::tr("no private copy of %1 can be made: %2")
                              .arg(path, file.error() != QFileDevice::NoError
                                             ? file.errorString()
                                             : copy->errorString()));
        if (copied == before.size && version_of(path) == before)
            return private_copy{std::move(copy), hash.result().toHex()};
    }
    return broken(upload_text::tr("%1 kept changing while it was read").arg(path));
}

transfer_result<private_copy> snapshot_while_waiting(const QString& path) {
    QThread* const here = QThread::currentThread();
    std::optional<transfer_result<private_copy>> made;
    std::atomic_bool done{false};
    std::thread reader([&] {
        auto copy = snapshot_of(path);
        if (copy.value)
            copy.value->file->moveToThread(here);
        made.emplace(std::move(copy));
        done = true;
        // Wakes the loop below, which sleeps until an event comes.
        QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::None));
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    reader.join();
    return std::move(*made);
}
