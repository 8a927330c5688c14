#include "failure_path.h"
#include "form1.h"
#include "outcome_notification.h"
#include "settings_file.h"
#include "settings_location.h"
#include "single_instance.h"
#include "transfer_libraries.h"
#include "user_language.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdio>
#include <string_view>

namespace {

struct app_text final {
    Q_DECLARE_TR_FUNCTIONS(app)
};

// Before the settings folder is looked up: it is named after the program.
void name_the_program() {
    QCoreApplication::setApplicationName(QStringLiteral("ftp-publisher"));
}

QString instance_for(const QString& settings_dir) {
    return instance_name(settings_path(settings_dir));
}

} // namespace

int main(int argc, char* argv[]) {
    // Checked before Qt sees them: Qt's own options (-platform, -style) are refused too, so no
    // argument is ever taken for something it is not. Qt reads its environment variables.
    const bool publish = argc == 2 && std::string_view(argv[1]) == "--publish";
    if (argc > 1 && !publish) {
        QCoreApplication app(argc, argv);
        install_translations();
        std::fprintf(stderr, "%s\n",
                     qUtf8Printable(app_text::tr("usage: ftp-publisher [--publish]")));
        return 2;
    }
    if (publish) {
        QCoreApplication app(argc, argv);
        name_the_program();
        install_translations();
        return publish_through_instance(instance_for(settings_folder()),
                                        QCoreApplication::applicationFilePath());
    }

    // Before any thread exists, as libcurl and libssh ask.
    const transfer_libraries libraries;
    int rc = 0;
    {
        QApplication app(argc, argv);
        // Names the user's settings folder, ~/.config/ftp-publisher, whatever the file is called.
        name_the_program();
        // Lets a Wayland compositor find the menu entry, and with it the icon, for the window.
        QApplication::setDesktopFileName(QStringLiteral(APP_ID));
        install_translations();
        QApplication::setWindowIcon(Form1::icon());
        // Looked up once: the window and the instance's name both follow it.
        const QString settings_dir = settings_folder();
        Form1 form(settings_dir);
        run_handler(&form, QCoreApplication::translate("app", "Start"),
                    [&form] { form.start_up(); });
        form.show_as_started();

        outcome_notification notification(&form, QDBusConnection::sessionBus(), &form.Inet1);
        QObject::connect(&form, &Form1::published, &notification, &outcome_notification::show);
        // A second plain start runs as before; --publish reaches the first.
        instance_server server(
            instance_for(settings_dir),
            [&form](const instance_server::answer& told) { form.publish(told); });
        server.listen();
        rc = QApplication::exec();
    }
    return rc;
}
