#include "sftp_posix_rename.h"

#include "upload_text.h"

QByteArray posix_rename_request(std::uint32_t id, const QByteArray& from, const QByteArray& to) {
    return sftp_request(SSH_FXP_EXTENDED, id)
        .string("posix-rename@openssh.com")
        .string(from)
        .string(to)
        .packet();
}

transfer_result<sftp_status> posix_rename(sftp_session sftp, const QByteArray& from,
                                          const QByteArray& to, std::chrono::seconds limit) {
    const transfer_result<QByteArray> reply = own_exchange(
        sftp, [&](std::uint32_t id) { return posix_rename_request(id, from, to); }, limit);
    if (!reply.value)
        return reply.error;
    if (const std::optional<sftp_status> status = status_reply(*reply.value))
        return *status;
    return transfer_error{
        transfer_error::kind::broken,
        upload_text::tr("the SFTP reply: %1").arg(upload_text::tr("not a reply to the request"))};
}
