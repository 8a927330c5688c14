#pragma once

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
