#include "failure_path.h"
#include "form1.h"

#include <QApplication>
#include <QWindow>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    // Before any thread exists, as libcurl asks.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setWindowIcon(Form1::icon());
        Form1 form;
        run_handler(&form, QStringLiteral("Start"), [&form] { form.start_up(); });
        form.show();
        // Qt's X11 backend maps a window that was resized before its first show in the normal
        // state even when it is minimised; asked again once mapped, it minimises it.
        if (form.isMinimized())
            form.windowHandle()->setWindowStates(form.windowHandle()->windowStates());
        rc = QApplication::exec();
    }
    curl_global_cleanup();
    return rc;
}
