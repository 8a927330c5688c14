#pragma once

#include "socket_handle.h"
#include "transfer_error.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <netdb.h>
#include <vector>

// A blocking TCP socket connected to `host` and `port`, each address tried in turn within `limit`
// in all; given up within a tenth of a second of `stopping`. Keepalive and no Nagle delay, as
// SSH's short requests need.
transfer_result<socket_handle> tcp_connect(const QString& host, quint16 port,
                                           std::chrono::seconds limit,
                                           const std::atomic_bool& stopping);

// Connected to the first of `addresses` that answers, each tried in turn with its share of the
// time left until `deadline`; error 0, or the errno of the last failure (ETIMEDOUT: no answer).
struct connect_attempt {
    socket_handle socket;
    int error = 0;
};
connect_attempt connect_first(const std::vector<const addrinfo*>& addresses,
                              std::chrono::steady_clock::time_point deadline,
                              const std::atomic_bool& stopping);
