#pragma once

#include <QString>

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

void upload_page(const upload_view& view);
void wait_for_transfer(const transfer_component& inet);

// The steps an upload shares with the publishing of any other file of the site: the component's
// six settings from the boxes, and the outcome shown.
void hand_over_settings(const upload_view& view);
void show_outcome(const upload_view& view, const QString& response);
