#pragma once

#include "transfer_error.h"
#include "transfer_target.h"

#include <QString>
#include <curl/curl.h>

// Sets the options that keep an exchange as safe as its scheme promises: the one protocol libcurl
// may speak; for TLS its use on the control and the data connection, TLS 1.2 or newer, the
// certificate and the host name verified against the system's CA bundle (or `ca_file` when not
// empty, a bundle that holds the system's too). A libcurl that refuses one of them must not go on
// with less: the failure then names the option. SFTP is not libcurl's here.
transfer_error set_security_options(CURL* curl, url_scheme scheme, const QString& ca_file,
                                    bool tls_1_2_at_most = false);
