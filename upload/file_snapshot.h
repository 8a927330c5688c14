#pragma once

#include "transfer_error.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryFile>
#include <memory>

// What changes with every save, in place or by a new file renamed over the old one; all empty
// for a file that is not there.
struct file_version {
    qint64 size = 0;
    QDateTime modified;
    QDateTime changed;
    bool operator==(const file_version&) const = default;
};
file_version version_of(const QString& path);

// A private copy of a local file, read once and whole: what is sent, and what the size check
// compares, is one saved version, whatever an editor does to the file meanwhile. A file that
// changes while it is read is read again, a few times at most.
struct private_copy {
    std::unique_ptr<QTemporaryFile> file;
    QByteArray sha256; // of what was copied, hex
};
transfer_result<private_copy> snapshot_of(const QString& path);

// The same, read on a thread of its own while the event loop runs on: a large file neither
// freezes the window nor silences the answers to a waiting client.
transfer_result<private_copy> snapshot_while_waiting(const QString& path);
