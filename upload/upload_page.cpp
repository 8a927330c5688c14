#include "upload_page.h"

#include "fixed_texts.h"
#include "response_text.h"
#include "transfer_component.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

void upload_page(const upload_view& view) {
    view.window->setWindowTitle(fixed_text::window_title.toString());
    transfer_component* inet = view.Inet1;
    hand_over_settings(view);
    wait_for_transfer(*inet);

    // Read only now: texts changed during the first wait belong to this upload.
    const QString local_dir = view.txt_localdir->text();
    const QString local_page = view.txt_page->text();
    const QString remote_dir = view.txt_ftpdir->text();
    const QString remote_page = view.txt_page->text();
    inet->execute(std::nullopt, QStringLiteral("PUT ") + local_dir + local_page + u' ' +
                                    remote_dir + remote_page);

    wait_for_transfer(*inet);

    const QString response = inet->response_text();
    inet->execute(std::nullopt, QStringLiteral("CLOSE"));
    show_outcome(view, response);
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
