#include "publish_file.h"

#include "file_snapshot.h"
#include "fixed_texts.h"
#include "put_command.h"
#include "response_text.h"
#include "site_file.h"
#include "transfer_component.h"
#include "upload_text.h"

#include <QFileInfo>
#include <QLineEdit>
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

QString publish_file(const upload_view& view, const site_file& file) {
    view.window->setWindowTitle(fixed_text::window_title.toString());
    transfer_component* inet = view.Inet1;
    hand_over_settings(view);
    wait_for_transfer(*inet);

    // Read only now, as the page's texts are.
    const auto copy = snapshot_of(file.local);
    const auto argument =
        copy.value ? put_argument((*copy.value)->fileName(),
                                  remote_path_for(view.txt_ftpdir->text(), file.relative))
                   : copy.error;
    if (!argument.value) {
        const QString response =
            failed_upload_text(argument.error.text, view.txt_ftp_password->text());
        show_outcome(view, response);
        return response;
    }
    inet->allow_new_folders(folders_below(file.relative));
    inet->execute(std::nullopt, QStringLiteral("PUT ") + *argument.value);
    wait_for_transfer(*inet);

    const QString response = inet->response_text();
    inet->execute(std::nullopt, QStringLiteral("CLOSE"));
    show_outcome(view, response);
    return response;
}
