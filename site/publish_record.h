#pragma once

#include "site_listing.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

// What this program last published to one server, account and remote directory: per file its
// content's hash and the size and time stamps it had then (so an untouched file is not read
// again). Kept in one file of the state folder: each verified file is appended as a line of its
// own the moment it is verified, so a run cut short keeps what it did; the whole record is
// rewritten atomically at the end of a run.
class publish_record final {
public:
    struct file {
        QByteArray sha256; // hex
        qint64 size = 0;
        qint64 modified_ms = 0;
        qint64 changed_ms = 0;
    };

    // The record's file for this server URL, user and remote directory, in `state_dir`.
    static QString path_in(const QString& state_dir, const QString& url, const QString& user,
                           const QString& remote_dir);
    // Where records are kept: beside the settings for a copy that keeps them beside itself,
    // else $XDG_STATE_HOME/ftp-publisher (~/.local/state/ftp-publisher).
    static QString state_folder(const QString& settings_dir, const QString& program_dir);

    explicit publish_record(const QString& path) : path(path) {}

    // False when there is no record, or it cannot be read: then nothing counts as published.
    bool load();
    const file* find(const QString& relative) const;
    // Recorded at once; false when it could not be written (the run goes on, and the file is
    // sent again next time).
    bool add(const QString& relative, const file& published);
    // The whole record at once, when anything was added since it was loaded.
    bool write_whole();
    QString error() const { return why; }

private:
    bool folder_made();

    QString path;
    QHash<QString, file> files;
    bool added = false;
    QString why;
};

// The SHA-256 of a file's content, hex; nullopt when it cannot be read whole.
std::optional<QByteArray> content_hash(const QString& path);
