#include "sftp_write_flight.h"

#include "response_text.h"
#include "upload_text.h"

namespace {

using kind = transfer_error::kind;

// A reply of the flight is a status, a handle, a file's attributes or the server's limits: a few
// dozen bytes.
constexpr std::uint32_t longest_reply = 64 * 1024;
// Statuses of later protocol versions that some servers send to version 3 clients.
constexpr std::uint32_t no_such_path = 10;
constexpr std::uint32_t invalid_filename = 20;

// Only a refusal of the name itself lets the page go directly under its live name.
kind open_refusal_kind(std::uint32_t status) {
    switch (status) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_PERMISSION_DENIED:
    case no_such_path:
    case invalid_filename:
        return kind::name_refused;
    default:
        return kind::refused; // no space, over the quota, a failure of the server's own
    }
}

} // namespace

void flight_ledger::wrote(std::uint32_t id, std::uint32_t length) {
    pending[id] = {asked::write, length};
    bytes += length;
}

bool flight_ledger::take(QByteArrayView packet) {
    const std::optional<std::uint32_t> id = reply_id(packet);
    const auto found = id ? pending.find(*id) : pending.end();
    if (found == pending.end())
        return false;
    const request answered = found->second;
    const std::optional<sftp_status> status = status_reply(packet);
    switch (answered.what) {
    case asked::limits: // a server that will not tell has no limit of its own
        limit = write_limit_reply(packet);
        if (!limit && !status)
            return false;
        limit = limit.value_or(0);
        break;
    case asked::open:
        if (const std::optional<QByteArray> handle = handle_reply(packet))
            open_handle = *handle;
        else if (!took_status(answered.what, status))
            return false;
        break;
    case asked::size: // a server that cannot tell the size answers with a status instead
        stored_size = size_reply(packet);
        if (!stored_size && !status)
            return false;
        break;
    case asked::write:
    case asked::close:
        if (!took_status(answered.what, status))
            return false;
        break;
    }
    bytes -= answered.length;
    pending.erase(found);
    return true;
}

bool flight_ledger::took_status(asked what, const std::optional<sftp_status>& status) {
    // An open answered with a plain OK has no handle: not a reply to it.
    if (!status || (what == asked::open && status->code == SSH_FX_OK))
        return false;
    if (status->code != SSH_FX_OK && !refused)
        refused = status;
    close_done = close_done || (what == asked::close && status->code == SSH_FX_OK);
    return true;
}

transfer_result<std::int64_t> write_flight::run() {
    if (transfer_error failed = open())
        return failed;
    transfer_error local_fault;
    for (;;) {
        if (!closing && !ledger.refusal() && !local_fault) {
            local_fault = fill();
            if (server.lost())
                return local_fault;
        }
        // Nothing more is written after a refusal or a local fault: the file is closed at once.
        if (!closing && (ledger.refusal() || local_fault)) {
            const std::uint32_t id = ++server.sftp()->id_counter;
            if (!send(sftp_request(SSH_FXP_CLOSE, id).string(ledger.handle()).packet()))
                return dropped(QString());
            ledger.asked_close(id);
            closing = true;
        }
        if (ledger.outstanding() == 0)
            break;
        if (transfer_error failed = read_reply_or_drop())
            return failed;
    }
    if (local_fault)
        return local_fault;
    if (ledger.refusal())
        return refused_by_server(kind::cut);
    if (!ledger.size())
        return transfer_error{
            kind::cut, upload_text::tr("the size of %1 on the server is unknown").arg(about())};
    if (!ledger.closed()) // the server may never have written all of it
        return transfer_error{kind::cut, about()};
    return std::int64_t(*ledger.size());
}

// The open, and the server's write limit where the connection has not asked for it yet.
transfer_error write_flight::open() {
    sftp_session sftp = server.sftp();
    std::optional<std::uint64_t>& known_limit = server.write_length_limit();
    if (!known_limit && sftp_extension_supported(sftp, "limits@openssh.com", "1")) {
        const std::uint32_t id = ++sftp->id_counter;
        if (!send(limits_request(id)))
            return dropped(QString());
        ledger.asked_limits(id);
    }
    const std::uint32_t id = ++sftp->id_counter;
    if (!send(sftp_request(SSH_FXP_OPEN, id)
                  .string(path)
                  .u32(SSH_FXF_WRITE | SSH_FXF_CREAT | SSH_FXF_TRUNC)
                  .u32(SSH_FILEXFER_ATTR_PERMISSIONS)
                  .u32(0644)
                  .packet()))
        return dropped(QString());
    ledger.asked_open(id);
    while (ledger.outstanding() > 0)
        if (transfer_error failed = read_reply_or_drop())
            return failed;
    if (!known_limit)
        known_limit = ledger.write_limit().value_or(0);
    if (*known_limit > 0 && *known_limit < limits.piece)
        limits.piece = std::uint32_t(*known_limit);
    if (ledger.handle().isEmpty())
        return refused_by_server(open_refusal_kind(ledger.refusal()->code));
    return {};
}

// Sends writes while the limits allow, and the size request and the close after the last one.
transfer_error write_flight::fill() {
    sftp_session sftp = server.sftp();
    while (ledger.outstanding() < limits.requests && ledger.bytes_outstanding() < limits.bytes) {
        const QByteArray piece = file.read(limits.piece);
        if (piece.isEmpty() && file.error() != QFileDevice::NoError)
            return {offset > 0 ? kind::cut : kind::broken,
                    upload_text::tr("local file cannot be read: %1").arg(file.errorString())};
        if (piece.isEmpty()) {
            const std::uint32_t size_id = ++sftp->id_counter;
            if (!send(sftp_request(SSH_FXP_FSTAT, size_id).string(ledger.handle()).packet()))
                return dropped(QString());
            ledger.asked_size(size_id);
            const std::uint32_t close_id = ++sftp->id_counter;
            if (!send(sftp_request(SSH_FXP_CLOSE, close_id).string(ledger.handle()).packet()))
                return dropped(QString());
            ledger.asked_close(close_id);
            closing = true;
            return {};
        }
        const std::uint32_t id = ++sftp->id_counter;
        if (!send(sftp_request(SSH_FXP_WRITE, id)
                      .string(ledger.handle())
                      .u64(std::uint64_t(offset))
                      .string(piece)
                      .packet()))
            return dropped(QString());
        ledger.wrote(id, std::uint32_t(piece.size()));
        offset += piece.size();
    }
    return {};
}

transfer_error write_flight::read_reply_or_drop() {
    const std::chrono::seconds stall = server.limits().stall_time;
    const transfer_result<QByteArray> reply = server.bounded(
        stall, [&] { return read_reply(server.sftp()->channel, longest_reply, stall); });
    if (!reply.value)
        return dropped(reply.error.text);
    if (!ledger.take(*reply.value))
        return dropped(upload_text::tr("the SFTP reply: %1")
                           .arg(upload_text::tr("not a reply to the request")));
    return {};
}

transfer_error write_flight::refused_by_server(kind what) const {
    return {what, about() + QStringLiteral(": SFTP server: ") +
                      server_text(ledger.refusal()->message.toStdString())};
}

// A packet sent in part is the end of the session: the server would read the next one's bytes
// as its rest.
bool write_flight::send(const QByteArray& request) {
    return server.bounded(server.limits().stall_time,
                          [&] { return send_request(server.sftp(), request); });
}

transfer_error write_flight::dropped(const QString& why) {
    transfer_error failed = server.failure(kind::cut, kind::cut, about());
    if (!server.lost() && !why.isEmpty())
        failed.text = about() + QStringLiteral(": ") + why;
    failed.what = kind::cut;
    server.drop();
    return failed;
}
