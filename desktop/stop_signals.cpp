#include "stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t stop_asked = 0;

#ifdef Q_OS_UNIX
int pipe_ends[2] = {-1, -1};

void note_stop(int signal_number) {
    // The second one ends it at once, as a user pressing Ctrl-C again means.
    if (stop_asked)
        ::_exit(128 + signal_number);
    stop_asked = 1;
    const int saved = errno; // the interrupted code may be about to read it
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(pipe_ends[1], &byte, 1);
    errno = saved;
}

void handle(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
}
#endif

} // namespace

stop_signals::stop_signals(QObject* parent) : QObject(parent) {
#ifdef Q_OS_UNIX
    // Not inherited by a program this one starts.
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipe_ends[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(pipe_ends[0], &byte, 1) > 0) {
        }
        emit stop();
    });
    handle(SIGINT, note_stop);
    handle(SIGTERM, note_stop);
#endif
}

stop_signals::~stop_signals() {
#ifdef Q_OS_UNIX
    handle(SIGINT, SIG_DFL);
    handle(SIGTERM, SIG_DFL);
    delete notifier;
    for (int& end : pipe_ends)
        if (end >= 0)
            ::close(std::exchange(end, -1));
#endif
}

bool stop_signals::requested() {
    return stop_asked != 0;
}
