#pragma once

#include "socket_handle.h"
#include "transfer_error.h"

#include <QString>
#include <atomic>
#include <chrono>

// A blocking TCP socket connected to `host` and `port`, each address tried in turn within `limit`
// in all; given up within a tenth of a second of `stopping`. Keepalive and no Nagle delay, as
// SSH's short requests need.
transfer_result<socket_handle> tcp_connect(const QString& host, quint16 port,
                                           std::chrono::seconds limit,
                                           const std::atomic_bool& stopping);
