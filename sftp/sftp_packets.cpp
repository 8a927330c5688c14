#include "sftp_packets.h"

#include "upload_text.h"

#include <QtEndian>

namespace {

transfer_error lost(const QString& why) {
    return {transfer_error::kind::broken, upload_text::tr("the SFTP reply: %1").arg(why)};
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

sftp_request::sftp_request(std::uint8_t type, std::uint32_t id) : body(1, char(type)) {
    u32(id);
}

sftp_request& sftp_request::u32(std::uint32_t value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    body.append(bytes, 4);
    return *this;
}

sftp_request& sftp_request::u64(std::uint64_t value) {
    return u32(std::uint32_t(value >> 32)).u32(std::uint32_t(value));
}

sftp_request& sftp_request::string(QByteArrayView text) {
    u32(std::uint32_t(text.size()));
    body.append(text);
    return *this;
}

QByteArray sftp_request::packet() const {
    char length[4];
    qToBigEndian(std::uint32_t(body.size()), length);
    return QByteArray(length, 4) + body;
}

std::optional<std::uint8_t> field_reader::u8() {
    if (rest.isEmpty())
        return std::nullopt;
    const auto value = std::uint8_t(rest.front());
    rest = rest.sliced(1);
    return value;
}

std::optional<std::uint32_t> field_reader::u32() {
    if (rest.size() < 4)
        return std::nullopt;
    const auto value = qFromBigEndian<std::uint32_t>(rest.data());
    rest = rest.sliced(4);
    return value;
}

std::optional<std::uint64_t> field_reader::u64() {
    const std::optional<std::uint32_t> high = u32();
    const std::optional<std::uint32_t> low = u32();
    if (!high || !low)
        return std::nullopt;
    return std::uint64_t(*high) << 32 | *low;
}

std::optional<QByteArrayView> field_reader::string() {
    const std::optional<std::uint32_t> length = u32();
    if (!length || *length > std::uint64_t(rest.size()))
        return std::nullopt;
    const QByteArrayView text = rest.first(qsizetype(*length));
    rest = rest.sliced(qsizetype(*length));
    return text;
}

std::optional<std::uint32_t> reply_id(QByteArrayView packet) {
    field_reader fields(packet);
    if (!fields.u8())
        return std::nullopt;
    return fields.u32();
}

std::optional<sftp_status> status_reply(QByteArrayView packet) {
    field_reader fields(packet);
    if (fields.u8() != SSH_FXP_STATUS)
        return std::nullopt;
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

std::optional<QByteArray> handle_reply(QByteArrayView packet) {
    field_reader fields(packet);
    if (fields.u8() != SSH_FXP_HANDLE || !fields.u32())
        return std::nullopt;
    const std::optional<QByteArrayView> handle = fields.string();
    if (!handle || handle->isEmpty())
        return std::nullopt;
    return handle->toByteArray();
}

std::optional<std::uint64_t> size_reply(QByteArrayView packet) {
    field_reader fields(packet);
    if (fields.u8() != SSH_FXP_ATTRS || !fields.u32())
        return std::nullopt;
    const std::optional<std::uint32_t> flags = fields.u32();
    if (!flags || !(*flags & SSH_FILEXFER_ATTR_SIZE))
        return std::nullopt;
    return fields.u64(); // the size comes first of the attributes
}

std::optional<std::uint64_t> write_limit_reply(QByteArrayView reply) {
    field_reader fields(reply);
    if (fields.u8() != SSH_FXP_EXTENDED_REPLY || !fields.u32())
        return std::nullopt;
    const std::optional<std::uint64_t> packet_length = fields.u64();
    const std::optional<std::uint64_t> read_length = fields.u64();
    const std::optional<std::uint64_t> write_length = fields.u64();
    if (!packet_length || !read_length || !write_length)
        return std::nullopt;
    return write_length;
}

QByteArray limits_request(std::uint32_t id) {
    return sftp_request(SSH_FXP_EXTENDED, id).string("limits@openssh.com").packet();
}

transfer_result<QByteArray> read_reply(ssh_channel channel, std::uint32_t longest,
                                       std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const transfer_error late = lost(upload_text::tr("none within %1 s").arg(limit.count()));
    char length_bytes[4];
    if (!read_exactly(channel, length_bytes, 4, deadline))
        return late;
    const auto length = qFromBigEndian<std::uint32_t>(length_bytes);
    if (length == 0 || length > longest)
        return lost(upload_text::tr("a packet of %1 bytes").arg(length));
    QByteArray packet(qsizetype(length), Qt::Uninitialized);
    if (!read_exactly(channel, packet.data(), length, deadline))
        return late;
    return packet;
}

bool send_request(sftp_session sftp, const QByteArray& request) {
    return ssh_channel_write(sftp->channel, request.constData(), std::uint32_t(request.size())) ==
           request.size();
}

transfer_result<QByteArray> own_exchange(sftp_session sftp,
                                         const std::function<QByteArray(std::uint32_t)>& request,
                                         std::chrono::seconds limit) {
    const std::uint32_t id = ++sftp->id_counter;
    if (!send_request(sftp, request(id)))
        return lost(QString::fromUtf8(ssh_get_error(sftp->session)));
    // A status reply is a few dozen bytes, an extension's a few more.
    constexpr std::uint32_t longest = 64 * 1024;
    transfer_result<QByteArray> reply = read_reply(sftp->channel, longest, limit);
    if (reply.value && reply_id(*reply.value) != id)
        return lost(upload_text::tr("not a reply to the request"));
    return reply;
}
