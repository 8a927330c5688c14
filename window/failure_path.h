#pragma once

#include <QString>
#include <functional>

class QWidget;

// Runs one handler of the window. Handlers catch nothing themselves: a failing step throws, the
// handler stops there, and the failure is shown here; the program then goes on running.
// `stopped` hears the reason first, before a message box can hold the program up.
void run_handler(QWidget* window, const QString& action, const std::function<void()>& handler,
                 const std::function<void(const QString& reason)>& stopped = {});

// Where the failure path sends its message: a message box, shown without waiting for it to be
// closed, unless a test installs its own.
using failure_sink = std::function<void(QWidget* window, const QString& text)>;
failure_sink set_failure_sink(failure_sink sink);
