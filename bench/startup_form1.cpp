// The program's own start (as app/main.cpp does it), timed until the event loop is idle.
// Usage: bench_startup_form1 <spawned_ns> <settings dir>
#include "failure_path.h"
#include "form1.h"
#include "idle_clock.h"
#include "user_language.h"

#include <QApplication>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    if (argc != 3)
        return 2;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        QApplication app(argc, argv);
        install_translations();
        QApplication::setWindowIcon(Form1::icon());
        Form1 form(QString::fromLocal8Bit(argv[2]));
        run_handler(&form, QStringLiteral("Start"), [&form] { form.start_up(); });
        form.show_as_started();
        report_idle_time_then_quit(argv[1]);
        rc = QApplication::exec();
    }
    curl_global_cleanup();
    return rc;
}
