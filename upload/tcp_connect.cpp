#include "tcp_connect.h"

#include "upload_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using clock_type = std::chrono::steady_clock;
using addresses = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

constexpr std::chrono::milliseconds stop_poll(100);

// 0 once connected, else the errno of the failure; ETIMEDOUT when the deadline passed first.
int connect_one(const socket_handle& socket, const addrinfo& address,
                clock_type::time_point deadline, const std::atomic_bool& stopping) {
    if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd waiting{socket.get(), POLLOUT, 0};
    for (;;) {
        if (stopping)
            return ECANCELED;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        if (::poll(&waiting, 1, int(std::min(left, stop_poll).count())) > 0)
            break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

void make_blocking(const socket_handle& socket) {
    ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) & ~O_NONBLOCK);
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

} // namespace

transfer_result<socket_handle> tcp_connect(const QString& host, quint16 port,
                                           std::chrono::seconds limit,
                                           const std::atomic_bool& stopping) {
    const auto failed = [&](const QString& why) {
        return transfer_error{transfer_error::kind::broken,
                              upload_text::tr("no connection to %1 port %2 (%3)")
                                  .arg(host, QString::number(port), why)};
    };
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(),
                                     QByteArray::number(port).constData(), &hints, &found))
        return failed(QString::fromLocal8Bit(::gai_strerror(rc)));
    const addresses all(found, freeaddrinfo);
    const clock_type::time_point deadline = clock_type::now() + limit;
    int error = EADDRNOTAVAIL;
    for (const addrinfo* address = all.get(); address; address = address->ai_next) {
        socket_handle socket(::socket(address->ai_family,
                                      address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                      address->ai_protocol));
        if (socket.get() < 0) {
            error = errno;
            continue;
        }
        error = connect_one(socket, *address, deadline, stopping);
        if (error == 0) {
            make_blocking(socket);
            return socket;
        }
        if (error == ETIMEDOUT || error == ECANCELED)
            break;
    }
    if (error == ETIMEDOUT)
        return failed(upload_text::tr("no answer within %1 s").arg(limit.count()));
    return failed(QString::fromLocal8Bit(std::strerror(error)));
}
