#pragma once

#include "transfer_target.h"

#include <QString>
#include <curl/curl.h>

// The plain words for a failure that only a connection over TLS has; empty for every other one.
QString secure_failure_text(CURLcode code, const transfer_target& target,
                            const QString& curl_error);
