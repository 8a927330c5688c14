#pragma once

#include <QByteArray>
#include <QString>
#include <curl/curl.h>
#include <optional>

// What the scheme of the server URL asks for.
enum class url_scheme { ftp, ftpes, ftps, sftp };

// Where one upload goes, as libcurl is to be told.
struct transfer_target {
    url_scheme scheme = url_scheme::ftp;
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;
    QByteArray url;
};

struct target_result {
    std::optional<transfer_target> target;
    QString error; // when there is no target
};

// The server URL names scheme, host and, optionally, the port: "scheme://host[:port][/]". User
// and password have settings of their own and never go into a URL. A port in the URL wins;
// otherwise "ftp" and "ftpes" take the port setting (the FTP control port), "ftps" 990 and
// "sftp" 22. The remote path is absolute when it starts with "/", else relative to the login
// directory, for every scheme.
target_result transfer_target_for(const QString& server_url, quint16 port_setting,
                                  const QString& remote_path);

// The certificates TLS trusts when an extra CA file is given: the system's bundle and that file
// in one blob (CURLOPT_CAINFO would replace the system's). Read once per upload; empty when no
// extra file is given. False with *error when the file cannot be read.
bool read_trusted_bundle(CURL* curl, const QString& extra_ca_file, QByteArray* bundle,
                         QString* error);

class host_key_check;

// Sets, on every exchange anew, the options that keep it as safe as its scheme promises: the one
// protocol libcurl may speak; for TLS its use on the control and the data connection, TLS 1.2
// only, the certificate and the host name verified against the system's CAs (and `ca_bundle`
// when not empty); for SFTP password login and the host key check of `keys`. A libcurl that
// refuses one of them must not go on with less: the result then names the option, else it is
// empty.
QString set_security_options(CURL* curl, url_scheme scheme, const QByteArray& ca_bundle,
                             host_key_check* keys);

// SFTP: password login, and the host key checked against a known_hosts file the way
// "ssh -o StrictHostKeyChecking=accept-new" does it. Must outlive the transfer it is set on.
class host_key_check final {
public:
    // An empty file means the user's ~/.ssh/known_hosts.
    host_key_check(const QString& known_hosts_file, const transfer_target& target);
    bool key_changed() const { return changed; }
    QString changed_text() const;

private:
    friend QString set_security_options(CURL*, url_scheme, const QByteArray&, host_key_check*);
    static int on_key(CURL*, const curl_khkey* known, const curl_khkey* found, curl_khmatch match,
                      void* self);
    void record(const curl_khkey& found) const;

    QString file;
    QString host_entry; // "host" or "[host]:port", as OpenSSH writes it
    bool changed = false;
};

// The plain words for a failure that only a secure connection has; empty for every other one.
QString secure_failure_text(CURLcode code, const transfer_target& target, const QString& curl_error,
                            const host_key_check* keys);
