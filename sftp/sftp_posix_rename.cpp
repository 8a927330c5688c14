#include "sftp_posix_rename.h"

#include "upload_text.h"

#include <QtEndian>

namespace {

constexpr QByteArrayView extension_name("posix-rename@openssh.com");
// A status reply is a few dozen bytes; a longer one is not taken for one.
constexpr std::uint32_t longest_reply = 64 * 1024;

void append_u32(QByteArray& packet, std::uint32_t value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    packet.append(bytes, 4);
}

void append_string(QByteArray& packet, QByteArrayView text) {
    append_u32(packet, std::uint32_t(text.size()));
    packet.append(text);
}

// Reads SFTP's big-endian fields off the front of a packet, refusing to run past its end.
class field_reader final {
public:
    explicit field_reader(QByteArrayView bytes) : rest(bytes) {}

    std::optional<std::uint32_t> u32() {
        if (rest.size() < 4)
            return std::nullopt;
        const auto value = qFromBigEndian<std::uint32_t>(rest.data());
        rest = rest.sliced(4);
        return value;
    }
    std::optional<QByteArrayView> string() {
        const std::optional<std::uint32_t> length = u32();
        if (!length || *length > std::uint64_t(rest.size()))
            return std::nullopt;
        const QByteArrayView text = rest.first(qsizetype(*length));
        rest = rest.sliced(qsizetype(*length));
        return text;
    }
    bool empty() const { return rest.isEmpty(); }

private:
    QByteArrayView rest;
};

transfer_error lost(const QString& why) {
    return {transfer_error::kind::broken, upload_text::tr("the rename's reply: %1").arg(why)};
}

// `count` bytes from the channel by `deadline`; false on a timeout, an end or an error.
bool read_exactly(ssh_channel channel, char* into, std::uint32_t count,
                  std::chrono::steady_clock::time_point deadline) {
    for (std::uint32_t got = 0; got < count;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int read =
            ssh_channel_read_timeout(channel, into + got, count - got, 0, int(left.count()));
        if (read < 0 || (read == 0 && ssh_channel_is_eof(channel)))
            return false;
        got += std::uint32_t(read);
    }
    return true;
}

} // namespace

QByteArray posix_rename_request(std::uint32_t id, const QByteArray& from, const QByteArray& to) {
    QByteArray body(1, char(SSH_FXP_EXTENDED));
    append_u32(body, id);
    append_string(body, extension_name);
    append_string(body, from);
    append_string(body, to);
    QByteArray packet;
    append_u32(packet, std::uint32_t(body.size()));
    return packet + body;
}

std::optional<sftp_status> status_reply(QByteArrayView packet) {
    if (packet.isEmpty() || std::uint8_t(packet.front()) != SSH_FXP_STATUS)
        return std::nullopt;
    field_reader fields(packet.sliced(1));
    const std::optional<std::uint32_t> id = fields.u32();
    const std::optional<std::uint32_t> code = fields.u32();
    if (!id || !code)
        return std::nullopt;
    sftp_status status{*id, *code, {}};
    // Version 3 servers may end the reply here; the language tag after the message is not used.
    if (!fields.empty()) {
        const std::optional<QByteArrayView> message = fields.string();
        if (!message)
            return std::nullopt;
        status.message = message->toByteArray();
    }
    return status;
}

transfer_result<sftp_status> posix_rename(sftp_session sftp, const QByteArray& from,
                                          const QByteArray& to, std::chrono::seconds limit) {
    // Counted on, so that libssh never gives this id to a request of its own.
    const std::uint32_t id = ++sftp->id_counter;
    const QByteArray request = posix_rename_request(id, from, to);
    if (ssh_channel_write(sftp->channel, request.constData(), std::uint32_t(request.size())) !=
        request.size())
        return lost(QString::fromUtf8(ssh_get_error(sftp->session)));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char length_bytes[4];
    if (!read_exactly(sftp->channel, length_bytes, 4, deadline))
        return lost(upload_text::tr("none within %1 s").arg(limit.count()));
    const auto length = qFromBigEndian<std::uint32_t>(length_bytes);
    if (length == 0 || length > longest_reply)
        return lost(upload_text::tr("a packet of %1 bytes").arg(length));
    QByteArray packet(qsizetype(length), Qt::Uninitialized);
    if (!read_exactly(sftp->channel, packet.data(), length, deadline))
        return lost(upload_text::tr("none within %1 s").arg(limit.count()));
    const std::optional<sftp_status> status = status_reply(packet);
    if (!status || status->id != id)
        return lost(upload_text::tr("not a reply to the request"));
    return *status;
}
