#pragma once

#include "transfer_options.h"
#include "transfer_target.h"

#include <QByteArray>
#include <QString>

// What every exchange of one upload connects with, prepared once per upload.
struct connection_plan {
    transfer_target target;
    QByteArray user_name; // UTF-8, as libcurl and libssh take them
    QByteArray password;
    transfer_options limits;
    QString ca_file;         // TLS: see trusted_bundle(); empty: the system's
    QByteArray agent_socket; // SFTP: the SSH agent's, as the command found it; empty: none
    // TLS: a server that wants every data connection to resume the control connection's session
    // (vsftpd, ProFTPD) refuses a second upload's under TLS 1.3, whose tickets serve once; TLS 1.2
    // then, or, where the server speaks TLS 1.3 alone, a new connection for each upload.
    bool tls_1_2_at_most = false;
    bool login_per_upload = false;
};
