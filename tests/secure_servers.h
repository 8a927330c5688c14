#pragma once

#include "test_support.h"

#include <QString>
#include <QStringList>
#include <memory>

// One server from secure_servers.py (ProFTPD or vsftpd with TLS, or SFTP), on 127.0.0.1 and a
// free port; ended when the object goes, also when a check failed.
class secure_server final {
public:
    // Empty when the server did not come up; *error then says why.
    static std::unique_ptr<secure_server> start(const QStringList& arguments, QString* error);

    quint16 port() const { return helper.port(); }

private:
    secure_server() = default;

    helper_process helper;
};

// Writes ca.pem, server.pem/.key, wrong_host.pem/.key and self_signed.pem/.key into folder.
bool make_certificates(const QString& folder, QString* error);
// Writes a new SSH host key to file; returns its public line ("ssh-ed25519 AAAA..."), or empty.
QString make_host_key(const QString& file, QString* error);
