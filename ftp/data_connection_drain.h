#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <curl/curl.h>

// libcurl before 8.9.0 closes an FTP data connection over TLS with the server's TLS 1.3 session
// ticket unread in it; the kernel answers that with a reset, and the server loses the end of the
// upload (vsftpd: "426 Failure reading network stream"). Drained first, it ends in order, at no
// cost: the server sends its 226 only after its own close.

// What closing a socket needs to know; lives as long as the exchange it is set on.
struct data_connection_drain {
    const std::atomic_bool* stopping = nullptr; // an abort closes at once
    std::uint16_t control_port = 0;             // the control connection's, never drained
};

// Whether the running libcurl leaves the draining to us.
bool data_connections_need_draining();

// A CURLOPT_CLOSESOCKETFUNCTION, its data a data_connection_drain: drains a data connection
// (a peer on another port than the control connection's), then closes the socket.
int close_draining_data_connections(void* drain, curl_socket_t socket);

// Sends the end of our stream and reads what the peer still sends until it closes its side, for
// `bound` at most; returns at once when `stopping` turns true.
void drain_socket(curl_socket_t socket, const std::atomic_bool& stopping,
                  std::chrono::milliseconds bound = std::chrono::seconds(2));
