#include "socket_watch.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace {

constexpr std::chrono::milliseconds stop_poll(100);

} // namespace

socket_watch::socket_watch(int socket, const std::atomic_bool& stopping)
    : watched(::fcntl(socket, F_DUPFD_CLOEXEC, 0)), stopping(stopping), thread([this] { run(); }) {
}

socket_watch::~socket_watch() {
    {
        const std::lock_guard lock(mutex);
        ending = true;
    }
    wake.notify_one();
    thread.join();
}

void socket_watch::limit(std::chrono::seconds from_now) {
    {
        const std::lock_guard lock(mutex);
        deadline = clock::now() + from_now;
        step = from_now;
    }
    wake.notify_one();
}

void socket_watch::idle() {
    const std::lock_guard lock(mutex);
    deadline.reset();
}

void socket_watch::cut() {
    const std::lock_guard lock(mutex);
    shut(reason::stopped);
}

socket_watch::reason socket_watch::cut_for() const {
    const std::lock_guard lock(mutex);
    return shut_for;
}

std::chrono::seconds socket_watch::last_limit() const {
    const std::lock_guard lock(mutex);
    return step;
}

void socket_watch::shut(reason why) {
    if (shut_for != reason::none)
        return;
    shut_for = why;
    // Wakes every poll on the socket; the descriptors stay open until their owners close them.
    ::shutdown(watched.get(), SHUT_RDWR);
}

void socket_watch::run() {
    std::unique_lock lock(mutex);
    while (!ending) {
        const clock::time_point now = clock::now();
        if (stopping)
            shut(reason::stopped);
        else if (deadline && now >= *deadline) {
            shut(reason::limit);
            deadline.reset(); // passed for good: the wait below must not return at once again
        }
        wake.wait_until(lock, std::min(now + stop_poll, deadline.value_or(now + stop_poll)));
    }
}
