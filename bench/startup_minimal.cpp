// The yardstick for start-up: the least a Qt Widgets program can show.
// Usage: bench_startup_minimal <spawned_ns>
#include "idle_clock.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    if (argc != 2)
        return 2;
    QApplication app(argc, argv);
    QWidget window;
    window.showMinimized();
    report_idle_time_then_quit(argv[1]);
    return QApplication::exec();
}
