#pragma once

#include "sftp_connection.h"
#include "sftp_packets.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <cstdint>
#include <map>
#include <optional>

// How far the writes may run ahead of the server's replies: enough to fill a long link, within
// the channel window of about 2 MiB that OpenSSH and asyncssh open, in pieces of the size
// OpenSSH's own client writes.
struct flight_limits {
    std::uint32_t piece = 32 * 1024;
    int requests = 64;
    std::int64_t bytes = 2 * 1024 * 1024;
};

// What a flight asked and has not heard back yet, and what the replies said.
class flight_ledger final {
public:
    void asked_limits(std::uint32_t id) { pending[id] = {asked::limits, 0}; }
    void asked_open(std::uint32_t id) { pending[id] = {asked::open, 0}; }
    void wrote(std::uint32_t id, std::uint32_t length);
    void asked_size(std::uint32_t id) { pending[id] = {asked::size, 0}; }
    void asked_close(std::uint32_t id) { pending[id] = {asked::close, 0}; }
    // Takes a reply (its bytes after the length); false for one that answers nothing outstanding,
    // or not in the form its request gets: the session cannot go on.
    bool take(QByteArrayView packet);

    int outstanding() const { return int(pending.size()); }
    std::int64_t bytes_outstanding() const { return bytes; }
    std::optional<std::uint64_t> write_limit() const { return limit; }
    const QByteArray& handle() const { return open_handle; }
    // The first request the server refused.
    const std::optional<sftp_status>& refusal() const { return refused; }
    std::optional<std::uint64_t> size() const { return stored_size; }
    bool closed() const { return close_done; }

private:
    enum class asked { limits, open, write, size, close };
    struct request {
        asked what;
        std::uint32_t length;
    };
    bool took_status(asked what, const std::optional<sftp_status>& status);

    std::map<std::uint32_t, request> pending;
    std::int64_t bytes = 0;
    std::optional<std::uint64_t> limit;
    QByteArray open_handle;
    std::optional<sftp_status> refused;
    std::optional<std::uint64_t> stored_size;
    bool close_done = false;
};

// The local file stored under `path` with many WRITEs in flight (libssh 0.10 waits for each
// reply before it sends the next request): the open in one round trip, with the server's write
// limit where it was not asked yet; the writes, the size and the close in the next, for a small
// file, or as the replies make room. Every request is ours and every reply is read before libssh
// is called again; a session left with a reply unread is dropped.
class write_flight final {
public:
    write_flight(sftp_connection& server, QFile& file, const QByteArray& path)
        : server(server), file(file), path(path) {}

    // The size the server gives the file after the last write; the refusal of the open is
    // kind::refused.
    transfer_result<std::int64_t> run();
    std::int64_t sent() const { return offset; }

private:
    transfer_error open();
    transfer_error fill();
    transfer_error read_reply_or_drop();
    transfer_error drain();
    transfer_error refused_by_server(transfer_error::kind what) const;
    bool send(const QByteArray& request);
    transfer_error dropped(const QString& why);
    QString about() const { return QString::fromUtf8(path); }

    sftp_connection& server;
    QFile& file;
    const QByteArray path;
    flight_limits limits;
    flight_ledger ledger;
    std::int64_t offset = 0;
    bool closing = false;
};
