#pragma once

#include "transfer_error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <chrono>
#include <cstdint>
#include <functional>
#include <libssh/sftp.h>
#include <optional>

// The SFTP requests that libssh 0.10 cannot send for us (an extension, writes in flight) and
// their replies, which we then read off the session's channel ourselves. An id of ours is taken
// from the session's counter, so that libssh never gives it to a request of its own; a reply of
// ours left unread would be taken by libssh for an answer to its next request.

struct sftp_status {
    std::uint32_t id = 0;
    std::uint32_t code = 0; // SSH_FX_OK, SSH_FX_FAILURE, ...
    QByteArray message;     // the server's words, as sent
};

// Builds a request: its type, a fresh id, then the fields in SFTP's big-endian form.
class sftp_request final {
public:
    sftp_request(std::uint8_t type, std::uint32_t id);
    sftp_request& u32(std::uint32_t value);
    sftp_request& u64(std::uint64_t value);
    sftp_request& string(QByteArrayView text);
    // The packet, its length first.
    QByteArray packet() const;

private:
    QByteArray body;
};

// Reads SFTP's big-endian fields off the front of a packet, refusing to run past its end.
class field_reader final {
public:
    explicit field_reader(QByteArrayView bytes) : rest(bytes) {}
    std::optional<std::uint8_t> u8();
    std::optional<std::uint32_t> u32();
    std::optional<std::uint64_t> u64();
    std::optional<QByteArrayView> string();
    bool empty() const { return rest.isEmpty(); }

private:
    QByteArrayView rest;
};

// The id a reply answers, from its bytes after the length; nothing for a packet too short.
std::optional<std::uint32_t> reply_id(QByteArrayView packet);
// An SSH_FXP_STATUS reply; nothing for any other packet, or one whose message runs past its end.
std::optional<sftp_status> status_reply(QByteArrayView packet);
// The handle in an SSH_FXP_HANDLE reply; nothing for another packet.
std::optional<QByteArray> handle_reply(QByteArrayView packet);
// The size in an SSH_FXP_ATTRS reply: nothing for another packet, or attributes without a size.
std::optional<std::uint64_t> size_reply(QByteArrayView packet);
// The longest write the server takes, from its reply to limits@openssh.com: zero for no limit;
// nothing for another packet.
std::optional<std::uint64_t> write_limit_reply(QByteArrayView packet);
QByteArray limits_request(std::uint32_t id);

// A reply's bytes after its length, read from `channel` within `limit`. A reply longer than
// `longest` is refused unread: no request of ours asks for one.
transfer_result<QByteArray> read_reply(ssh_channel channel, std::uint32_t longest,
                                       std::chrono::seconds limit);

// Sends `request` whole; false leaves part of a packet sent, and the session is lost.
bool send_request(sftp_session sftp, const QByteArray& request);

// Sends the request (made with the id given) and reads its reply within `limit`. Nothing else may
// be in flight. A failure means the session is lost: no reply in time, or one that is not the
// reply to this request.
transfer_result<QByteArray> own_exchange(sftp_session sftp,
                                         const std::function<QByteArray(std::uint32_t)>& request,
                                         std::chrono::seconds limit);
