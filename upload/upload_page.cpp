#include "upload_page.h"

#include "file_snapshot.h"
#include "fixed_texts.h"
#include "put_command.h"
#include "response_text.h"
#include "transfer_component.h"
#include "upload_text.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

namespace {

// The PUT's argument, or the failure that stops the publish before anything is sent.
transfer_result<QString> put_argument(const QString& copy, const QString& remote) {
    const QString argument = copy + u' ' + remote;
    // The component takes the local path up to the first blank after which a file is named: a
    // temporary folder with blanks in its path must not make it another file.
    const auto paths =
        split_put_argument(argument, [](const QString& path) { return QFileInfo(path).isFile(); });
    if (!paths || paths->local != copy)
        return transfer_error{
            transfer_error::kind::broken,
            upload_text::tr("the private copy %1 cannot be named in a PUT").arg(copy)};
    return argument;
}

} // namespace

QString upload_page(const upload_view& view) {
    return publish_copy(view, [&view] {
        // Directory and name joined as typed, nothing put between them.
        return put_target{view.txt_localdir->text() + view.txt_page->text(),
                          view.txt_ftpdir->text() + view.txt_page->text(), 0};
    });
}

QString publish_copy(const upload_view& view, const std::function<put_target()>& target_now) {
    const put_outcome put = put_copy(view, target_now);
    close_connection(view);
    return put.response;
}

put_outcome put_copy(const upload_view& view, const std::function<put_target()>& target_now) {
    view.window->setWindowTitle(fixed_text::window_title.toString());
    transfer_component* inet = view.Inet1;
    hand_over_settings(view);
    wait_for_transfer(*inet);

    // Read only now: texts changed during the first wait belong to this upload.
    const put_target target = target_now();
    // What the component would refuse in the command it names is refused before the copy.
    transfer_component::check_command(QStringLiteral("PUT ") + target.local + u' ' + target.remote);
    const auto copy = snapshot_while_waiting(target.local);
    const auto argument =
        copy.value ? put_argument(copy.value->file->fileName(), target.remote) : copy.error;
    if (!argument.value) {
        const QString response =
            failed_upload_text(argument.error.text, view.txt_ftp_password->text());
        show_outcome(view, response);
        return {response, {}, false};
    }
    inet->allow_new_folders(target.new_folders);
    inet->execute(std::nullopt, QStringLiteral("PUT ") + *argument.value);
    wait_for_transfer(*inet);

    const QString response = inet->response_text();
    show_outcome(view, response);
    return {response, copy.value->sha256, inet->failure_may_pass()};
}

void close_connection(const upload_view& view) {
    view.Inet1->execute(std::nullopt, QStringLiteral("CLOSE"));
}

void hand_over_settings(const upload_view& view) {
    transfer_component* inet = view.Inet1;
    inet->set_access_type(0);
    inet->set_protocol(2);
    inet->set_remote_port(21);
    inet->set_url(view.txt_ftp_server->text());
    inet->set_user_name(view.txt_ftp_user->text());
    inet->set_password(view.txt_ftp_password->text());
}

void show_outcome(const upload_view& view, const QString& response) {
    const bool succeeded = response.contains(success_marker, Qt::CaseSensitive);
    view.window->setWindowTitle(
        (succeeded ? fixed_text::title_ok : fixed_text::title_failed).toString());
    view.btn_copy->setToolTip(tooltip_for(response)); // so "Fehler" can be explained on hover
    // Set, not left to the tooltip fallback, so that a screen reader is told of the change; as
    // the plain text, not the tooltip's markup.
    view.btn_copy->setAccessibleDescription(response);
    view.window->setWindowState(view.window->windowState() | Qt::WindowMinimized);
}

void wait_for_transfer(const transfer_component& inet) {
    // Sleeps in the event loop until something arrives; the component's completion is a posted
    // event, so it always wakes this loop.
    while (inet.still_executing())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
