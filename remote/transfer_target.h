#pragma once

#include "transfer_error.h"

#include <QByteArray>
#include <QString>

// What the scheme of the server URL asks for.
enum class url_scheme { ftp, ftpes, ftps, sftp };

// The server one upload goes to, as libcurl is to be told; read from the settings once per upload.
struct transfer_target {
    url_scheme scheme = url_scheme::ftp;
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;
    QByteArray origin; // "scheme://host:port", without a path

    // The URL of a path on an FTP server, as libcurl is to be told (SFTP is not libcurl's):
    // absolute when it starts with "/", else relative to the login directory.
    QByteArray url_of(const QString& remote_path) const;
};

// The server URL names scheme, host and, optionally, the port: "scheme://host[:port][/]". User
// and password have settings of their own and never go into a URL. A port in the URL wins;
// otherwise "ftp" and "ftpes" take the port setting (the FTP control port), "ftps" 990 and
// "sftp" 22.
transfer_result<transfer_target> transfer_target_for(const QString& server_url,
                                                     quint16 port_setting);
