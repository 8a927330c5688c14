#include "idle_clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
// Long beside any start-up; the harness rejects a run whose idle time comes near it.
constexpr std::chrono::milliseconds quiet_spell{400};
} // namespace

void report_idle_time_then_quit(const char* spawned_ns) {
    using std::chrono::steady_clock; // CLOCK_MONOTONIC on Linux, as Python's monotonic_ns
    const steady_clock::time_point spawned{
        std::chrono::nanoseconds(std::strtoll(spawned_ns, nullptr, 10))};
    auto last_idle = std::make_shared<steady_clock::time_point>();
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                     [last_idle] { *last_idle = steady_clock::now(); });
    QTimer::singleShot(quiet_spell, dispatcher, [spawned, last_idle] {
        const std::chrono::duration<double, std::milli> idle = *last_idle - spawned;
        std::printf("idle_ms=%.3f\nquiet_ms=%lld\n", idle.count(),
                    static_cast<long long>(quiet_spell.count()));
        std::fflush(stdout);
        QCoreApplication::quit();
    });
}
