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
};
