#pragma once

#include "transfer_error.h"
#include "transfer_target.h"

#include <QByteArray>
#include <QString>
#include <curl/curl.h>

// The certificates TLS trusts when an extra CA file is given: the system's bundle and that file
// in one (CURLOPT_CAINFO would replace the system's). Empty when no extra file is given.
transfer_result<QByteArray> trusted_bundle(CURL* curl, const QString& extra_ca_file);

class host_key_check;

// Sets the options that keep an exchange as safe as its scheme promises: the one protocol libcurl
// may speak; for TLS its use on the control and the data connection, TLS 1.2 or newer, the
// certificate and the host name verified against the system's CA bundle (or `ca_file` when not
// empty, a bundle that holds the system's too); for SFTP password login and the host key check of
// `keys`. A libcurl that refuses one of them must not go on with less: the failure then names the
// option.
transfer_error set_security_options(CURL* curl, url_scheme scheme, const QString& ca_file,
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
    friend transfer_error set_security_options(CURL*, url_scheme, const QString&, host_key_check*);
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
