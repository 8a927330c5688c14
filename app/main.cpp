#include "failure_path.h"
#include "form1.h"
#include "instance_client.h"
#include "outcome_notification.h"
#include "save_watch.h"
#include "settings_file.h"
#include "settings_location.h"
#include "single_instance.h"
#include "site_file.h"
#include "transfer_libraries.h"
#include "user_language.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <cstdio>
#include <optional>
#include <string_view>

namespace {

struct app_text final {
    Q_DECLARE_TR_FUNCTIONS(app)
};

// What the command line asks for. Checked before Qt sees it: Qt's own options (-platform,
// -style) are refused too, so no argument is ever taken for something it is not; Qt reads its
// environment variables. Every argument after --publish or --watch is a file, whatever its name.
struct command_line {
    enum class kind { start, publish, watch, changed } what = kind::start;
    QStringList files; // absolute; of --publish-changed, its option without the dashes
};

std::optional<command_line> read_command_line(int argc, char* argv[]) {
    if (argc == 1)
        return command_line{};
    const std::string_view first = argv[1];
    if (first == "--publish-changed") {
        if (argc == 2)
            return command_line{command_line::kind::changed, {}};
        const std::string_view option = argv[2];
        if (argc == 3 && (option == "--dry-run" || option == "--mark-published"))
            return command_line{command_line::kind::changed,
                                {QString::fromLatin1(option.substr(2))}};
        return std::nullopt;
    }
    if (first != "--publish" && first != "--watch")
        return std::nullopt;
    command_line command{
        first == "--publish" ? command_line::kind::publish : command_line::kind::watch, {}};
    for (int i = 2; i < argc; ++i) {
        if (!*argv[i])
            return std::nullopt;
        // Not cleaned: "link/.." is for the instance to resolve as the system does.
        const QString file = QFile::decodeName(argv[i]);
        command.files << (QDir::isAbsolutePath(file) ? file : QDir::currentPath() + u'/' + file);
    }
    return command;
}

// Before the settings folder is looked up: it is named after the program.
void name_the_program() {
    QCoreApplication::setApplicationName(QStringLiteral("ftp-publisher"));
}

instance_address instance_for(const QString& settings_dir) {
    return instance_address_for(settings_path(settings_dir));
}

// A run of changed files, told line by line; refused (exit 2) when it cannot start.
void publish_changed(Form1& form, const QString& option, std::shared_ptr<instance_reply> reply) {
    const changed_mode mode = option == u"dry-run"          ? changed_mode::dry_run
                              : option == u"mark-published" ? changed_mode::mark_published
                                                            : changed_mode::publish;
    form.publish_changed(
        mode,
        {[reply](bool succeeded, const QString& line) { reply->tell(succeeded, line); },
         [reply](const QString& line) { reply->say(line); }},
        [reply](const site_run_result& result) {
            if (!result.refused.isEmpty())
                return reply->refuse(result.refused);
            reply->done(result.summary);
        });
}

// What a client asks, done as the window would do it. The reply stays open until the last
// publish asked for has been told.
void answer(Form1& form, const instance_request& request, std::shared_ptr<instance_reply> reply) {
    const auto tell = [reply, &form](bool succeeded, const QString& reason) {
        reply->tell(succeeded, reason, form.told_failure_may_pass());
    };
    if (request.what == instance_request::kind::changed)
        return publish_changed(form, request.files.value(0), reply);
    const bool watch = request.what == instance_request::kind::watch;
    if (request.files.isEmpty() && !watch)
        return form.publish(tell);
    // A watched page is published as any file of the site is: one save, read once.
    const QString page = form.txt_localdir->text() + form.txt_page->text();
    const QStringList paths = request.files.isEmpty() ? QStringList{page} : request.files;
    QList<site_file> files;
    QStringList file_paths; // as given, beside `files`
    QStringList folders;
    for (const QString& path : paths) {
        // A folder of the site is watched with all below it.
        if (watch && path != page && QFileInfo(path).isDir()) {
            const QString site = QFileInfo(form.txt_localdir->text()).canonicalFilePath();
            const QString folder = QFileInfo(path).canonicalFilePath();
            if (site.isEmpty() || (folder != site && !folder.startsWith(site + u'/')))
                return reply->refuse(
                    QCoreApplication::translate("upload", "%1 lies outside the local directory %2")
                        .arg(path, form.txt_localdir->text()));
            folders << folder;
            continue;
        }
        // The page goes where a click sends it, wherever a link of that name leads.
        transfer_result<site_file> file = path == page
                                              ? site_file{page, form.txt_page->text()}
                                              : site_file_for(form.txt_localdir->text(), path);
        if (!file.value)
            return reply->refuse(file.error.text);
        files << *file.value;
        file_paths << path;
    }
    if (!watch)
        return form.publish_files(files, tell);
    // Watched and asked for by the path as given: a link keeps its own name.
    const QString site = QFileInfo(form.txt_localdir->text()).canonicalFilePath();
    for (const QString& folder : folders)
        reply->watch_folder(folder, site);
    for (qsizetype i = 0; i < files.size(); ++i)
        reply->watch(file_paths[i], files[i].relative);
}

int run_command(const command_line& command, int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    name_the_program();
    install_translations();
    const instance_address address = instance_for(settings_folder());
    const QString program = QCoreApplication::applicationFilePath();
    if (command.what == command_line::kind::publish)
        return publish_through_instance(address, program, command.files);
    if (command.what == command_line::kind::changed)
        return publish_changed_through_instance(address, program, command.files.value(0));
    return watch_saves(address, program, command.files);
}

} // namespace

int main(int argc, char* argv[]) {
    // Taken first: a --publish that started this program sees it end, however early.
    auto started = hold_start_lock();
    const std::optional<command_line> command = read_command_line(argc, argv);
    if (!command) {
        QCoreApplication app(argc, argv);
        install_translations();
        std::fprintf(stderr, "%s\n",
                     qUtf8Printable(app_text::tr(
                         "usage: ftp-publisher [--publish [FILE...] | --watch [FILE...] | "
                         "--publish-changed [--dry-run | --mark-published]]")));
        return 2;
    }
    if (command->what != command_line::kind::start)
        return run_command(*command, argc, argv);

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
        // A second plain start runs as before; --publish and --watch reach the first.
        instance_server server(
            instance_for(settings_dir),
            [&form](const instance_request& request, std::shared_ptr<instance_reply> reply) {
                answer(form, request, std::move(reply));
            });
        const instance_server::listening listening = server.listen();
        if (listening == instance_server::listening::failed)
            std::fprintf(stderr, "%s\n",
                         qUtf8Printable(app_text::tr("ftp-publisher --publish cannot reach this "
                                                     "program: %1")
                                            .arg(server.error())));
        // Started for a client, but a plain start came first: that one serves the client, and
        // one owner is all there should be.
        if (listening == instance_server::listening::elsewhere && started)
            return 0;
        started.reset(); // from here on, the client hears from the socket
        rc = QApplication::exec();
    }
    return rc;
}
