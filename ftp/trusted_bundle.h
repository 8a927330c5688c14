#pragma once

#include "transfer_error.h"

#include <QByteArray>
#include <QString>
#include <curl/curl.h>

// The certificates TLS trusts when an extra CA file is given: the system's bundle and that file
// in one (CURLOPT_CAINFO would replace the system's). Empty when no extra file is given.
transfer_result<QByteArray> trusted_bundle(CURL* curl, const QString& extra_ca_file);
