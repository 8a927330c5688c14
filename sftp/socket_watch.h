#pragma once

#include "socket_handle.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// libssh's SFTP calls wait for their reply however long it takes, and no libssh call looks at our
// stop flag: this ends a blocked call from outside by shutting the socket down, once the step in
// progress outlives its limit, or within a tenth of a second of `stopping` turning true.
class socket_watch final {
public:
    enum class reason { none, limit, stopped };

    // Watches a duplicate of `socket`: whoever closes the original, no reused number is shut down.
    socket_watch(int socket, const std::atomic_bool& stopping);
    ~socket_watch();
    socket_watch(const socket_watch&) = delete;
    socket_watch& operator=(const socket_watch&) = delete;

    void limit(std::chrono::seconds from_now); // for the step that starts now
    void idle();                               // no step runs: no limit
    void cut();                                // at once
    reason cut_for() const;
    // What ends every step at once; a second watch, on another socket, follows it too.
    const std::atomic_bool& stop_flag() const { return stopping; }
    std::chrono::seconds last_limit() const;

private:
    using clock = std::chrono::steady_clock;
    void run();
    void shut(reason why);

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::optional<clock::time_point> deadline;
    std::chrono::seconds step{0};
    reason shut_for = reason::none;
    bool ending = false;
    socket_handle watched;
    const std::atomic_bool& stopping;
    std::thread thread; // last: it starts once the rest is ready
};
