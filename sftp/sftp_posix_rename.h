#pragma once

#include "sftp_packets.h"

#include <QByteArray>
#include <chrono>
#include <cstdint>
#include <libssh/sftp.h>

// OpenSSH's posix-rename@openssh.com replaces the target in one step, where SFTP version 3's
// rename refuses an existing one. libssh 0.10 has no call that sends it, nor one that reads its
// reply: both are done here, on the SFTP session's channel.

// The request's packet, its length first.
QByteArray posix_rename_request(std::uint32_t id, const QByteArray& from, const QByteArray& to);

// Sends the request and reads its status within `limit`. Nothing else may be in flight on the
// session; a failure means the session is lost.
transfer_result<sftp_status> posix_rename(sftp_session sftp, const QByteArray& from,
                                          const QByteArray& to, std::chrono::seconds limit);
