// The yardstick for start-up: the least a Qt Widgets program can show. Built a second time with
// libcurl linked and initialised, to tell what loading libcurl costs.
// Usage: bench_startup_minimal <spawned_ns>
#include "idle_clock.h"

#include <QApplication>
#include <QWidget>
#ifdef WITH_LIBCURL
#include <curl/curl.h>
#endif

int main(int argc, char* argv[]) {
    if (argc != 2)
        return 2;
#ifdef WITH_LIBCURL
    curl_global_init(CURL_GLOBAL_DEFAULT);
#endif
    QApplication app(argc, argv);
    QWidget window;
    window.showMinimized();
    report_idle_time_then_quit(argv[1]);
    return QApplication::exec();
}
