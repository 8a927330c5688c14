#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class QLineEdit;
class QPushButton;
class QWidget;
class transfer_component;

// The parts of the window that an upload reads and writes.
struct upload_view {
    QWidget* window;
    QLineEdit* txt_ftp_server;
    QLineEdit* txt_ftp_user;
    QLineEdit* txt_ftp_password;
    QLineEdit* txt_localdir;
    QLineEdit* txt_ftpdir;
    QLineEdit* txt_page;
    QPushButton* btn_copy;
    transfer_component* Inet1;
};

// The click on btn_copy: the page, named by the boxes, published from a private copy of one save.
// The value is the response text it showed.
QString upload_page(const upload_view& view);
void wait_for_transfer(const transfer_component& inet);

// What one PUT sends where, read from the boxes after the first wait.
struct put_target {
    QString local;       // the file, as the system reads it
    QString remote;      // the whole remote path
    int new_folders = 0; // how many of the remote path's last folders may be made
};
// The steps of every publish, the page's and any file's of the site: the title, the six settings,
// the wait, the PUT of a private copy of `target_now()`, the wait, the response, CLOSE, the title
// and the minimised window. The value is the response text.
QString publish_copy(const upload_view& view, const std::function<put_target()>& target_now);
// The same without CLOSE, for several files over one login: the caller closes after the last.
struct put_outcome {
    QString response;
    QByteArray sha256;     // of the copy that was sent; empty when none was made
    bool may_pass = false; // failed, but may not when asked again later
};
put_outcome put_copy(const upload_view& view, const std::function<put_target()>& target_now);
void close_connection(const upload_view& view);

// The steps an upload shares with the publishing of any other file of the site: the component's
// six settings from the boxes, and the outcome shown.
void hand_over_settings(const upload_view& view);
void show_outcome(const upload_view& view, const QString& response);
