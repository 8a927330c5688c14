#include "data_connection_drain.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
constexpr int shut_wr = SD_SEND;
int poll_sockets(pollfd* fds, unsigned long count, int timeout) {
    return WSAPoll(fds, count, timeout);
}
int close_socket(curl_socket_t socket) {
    return closesocket(socket);
}
} // namespace
#else
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
constexpr int shut_wr = SHUT_WR;
int poll_sockets(pollfd* fds, nfds_t count, int timeout) {
    return ::poll(fds, count, timeout);
}
int close_socket(curl_socket_t socket) {
    return ::close(socket);
}
} // namespace
#endif

namespace {

// A connected socket whose peer is not on the control connection's port: a data connection.
bool is_data_connection(curl_socket_t socket, std::uint16_t control_port) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return false;
    std::uint16_t port = control_port;
    if (peer.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    return port != control_port;
}

} // namespace

bool data_connections_need_draining() {
    return curl_version_info(CURLVERSION_NOW)->version_num < 0x080900;
}

void drain_socket(curl_socket_t socket, const std::atomic_bool& stopping,
                  std::chrono::milliseconds bound) {
    if (::shutdown(socket, shut_wr) != 0)
        return;
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + bound;
    char buffer[4096];
    while (!stopping) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return;
        // Short polls, so that an abort is seen soon.
        pollfd ready{socket, POLLIN, 0};
        const int polled =
            poll_sockets(&ready, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (polled < 0 && errno != EINTR)
            return;
        if (polled <= 0)
            continue;
        const auto got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

int close_draining_data_connections(void* data, curl_socket_t socket) {
    const auto& drain = *static_cast<const data_connection_drain*>(data);
    if (!drain.stopping->load() && is_data_connection(socket, drain.control_port))
        drain_socket(socket, *drain.stopping);
    return close_socket(socket);
}
