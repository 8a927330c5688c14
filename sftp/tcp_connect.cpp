#include "tcp_connect.h"

#include "upload_text.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

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

// getaddrinfo() has no time limit of its own: it runs on a thread of its own, which is left to
// finish by itself when the lookup takes longer than `deadline` or `stopping` turns true.
struct lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int rc = EAI_AGAIN;
    addrinfo* found = nullptr;
    ~lookup() {
        if (found)
            ::freeaddrinfo(found);
    }
};

std::shared_ptr<lookup> look_up(const QByteArray& host, const QByteArray& port,
                                clock_type::time_point deadline, const std::atomic_bool& stopping) {
    auto asked = std::make_shared<lookup>();
    std::thread([asked, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
        const std::lock_guard lock(asked->mutex);
        asked->rc = rc;
        asked->found = found;
        asked->finished = true;
        asked->done.notify_all();
    }).detach();
    std::unique_lock lock(asked->mutex);
    while (!asked->finished && !stopping && clock_type::now() < deadline)
        asked->done.wait_until(lock, std::min(deadline, clock_type::now() + stop_poll));
    return asked->finished ? asked : nullptr;
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
    const clock_type::time_point deadline = clock_type::now() + limit;
    const std::shared_ptr<lookup> found =
        look_up(host.toUtf8(), QByteArray::number(port), deadline, stopping);
    if (!found)
        return failed(
            stopping ? upload_text::tr("stopped")
                     : upload_text::tr("the name was not found within %1 s").arg(limit.count()));
    if (found->rc != 0)
        return failed(QString::fromLocal8Bit(::gai_strerror(found->rc)));
    std::vector<const addrinfo*> all;
    for (const addrinfo* address = found->found; address; address = address->ai_next)
        all.push_back(address);
    connect_attempt attempt = connect_first(all, deadline, stopping);
    if (attempt.error == 0)
        return std::move(attempt.socket);
    const int error = attempt.error;
    if (error == ETIMEDOUT)
        return failed(upload_text::tr("no answer within %1 s").arg(limit.count()));
    return failed(QString::fromLocal8Bit(std::strerror(error)));
}

connect_attempt connect_first(const std::vector<const addrinfo*>& addresses,
                              std::chrono::steady_clock::time_point deadline,
                              const std::atomic_bool& stopping) {
    connect_attempt attempt{socket_handle(), EADDRNOTAVAIL};
    for (std::size_t tried = 0; tried < addresses.size(); ++tried) {
        const addrinfo& address = *addresses[tried];
        socket_handle socket(::socket(address.ai_family,
                                      address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                      address.ai_protocol));
        if (socket.get() < 0) {
            attempt.error = errno;
            continue;
        }
        // Each address its share of what is left: one that swallows packets (a broken IPv6
        // route) must leave time for the next.
        const auto share = (deadline - clock_type::now()) / std::int64_t(addresses.size() - tried);
        attempt.error = connect_one(socket, address, clock_type::now() + share, stopping);
        if (attempt.error == 0) {
            make_blocking(socket);
            attempt.socket = std::move(socket);
            return attempt;
        }
        if (attempt.error == ECANCELED)
            break;
    }
    return attempt;
}
