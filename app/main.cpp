#include "failure_path.h"
#include "form1.h"
#include "user_language.h"

#include <QApplication>
#include <QCoreApplication>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    // Before any thread exists, as libcurl asks.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        QApplication app(argc, argv);
        // Names the user's settings folder, ~/.config/ftp-publisher, whatever the file is called.
        QApplication::setApplicationName(QStringLiteral("ftp-publisher"));
        // Lets a Wayland compositor find the menu entry, and with it the icon, for the window.
        QApplication::setDesktopFileName(QStringLiteral(APP_ID));
        install_translations();
        QApplication::setWindowIcon(Form1::icon());
        Form1 form;
        run_handler(&form, QCoreApplication::translate("app", "Start"),
                    [&form] { form.start_up(); });
        form.show_as_started();
        rc = QApplication::exec();
    }
    curl_global_cleanup();
    return rc;
}
