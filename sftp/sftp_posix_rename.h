#pragma once

#include "transfer_error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <chrono>
#include <cstdint>
#include <libssh/sftp.h>
#include <optional>

// OpenSSH's posix-rename@openssh.com replaces the target in one step, where SFTP version 3's
// rename refuses an existing one. libssh 0.10 has no call that sends it, nor one that reads its
// reply: both are done here, on the SFTP session's channel.

struct sftp_status {
    std::uint32_t id = 0;
    std::uint32_t code = 0; // SSH_FX_OK, SSH_FX_FAILURE, ...
    QByteArray message;     // the server's words, as sent
};

// The request's packet, its length first.
QByteArray posix_rename_request(std::uint32_t id, const QByteArray& from, const QByteArray& to);

// An SSH_FXP_STATUS reply from the bytes of its packet after the length; nothing for any other
// packet, or one whose message runs past its end.
std::optional<sftp_status> status_reply(QByteArrayView packet);

// Sends the request and reads its reply within `limit`. Nothing else may be in flight on the
// session. A failure means the session is lost: no reply in time, or one that is not the reply
// to this request, would leave libssh reading it as an answer to its own next request.
transfer_result<sftp_status> posix_rename(sftp_session sftp, const QByteArray& from,
                                          const QByteArray& to, std::chrono::seconds limit);
