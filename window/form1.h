#pragma once

#include "password_keyring.h"
#include "publish_changed.h"
#include "settings_file.h"
#include "settings_location.h"
#include "site_file.h"
#include "transfer_component.h"
#include "upload_page.h"

#include <QIcon>
#include <QWidget>
#include <deque>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

// The program's only window. It owns all state: the six settings are the texts of its boxes.
class Form1 final : public QWidget {
    Q_OBJECT
public:
    // Tests hand in their own settings directory and transfer limits; the program uses the
    // defaults.
    explicit Form1(const QString& settings_dir = settings_folder(), transfer_options options = {});

    static QIcon icon();

    void start_up();
    // The first show, in the state that start_up left the window in.
    void show_as_started();
    void toggle_settings();

    // The outcome of one upload as the user sees it: "O.K." or not, and the text behind it.
    using outcome_told = std::function<void(bool succeeded, const QString& reason)>;
    // Exactly what a click on btn_copy does. `told` hears this upload's outcome as soon as it is
    // known: the title it set, or the failure that stopped it. One publish runs at a time: asked
    // while another runs, it waits for its turn (started from the event loop, never inside the
    // other's wait), and `told` must stay callable until then.
    void publish(const outcome_told& told = {});
    // Publishes each file of the site as a click publishes the page, one after the other, in one
    // turn; `told` and the signal hear each outcome with the file's name before its reason.
    void publish_files(const QList<site_file>& files, const outcome_told& told);
    // While an outcome is told: whether that failure may pass when asked again later.
    bool told_failure_may_pass() const { return may_pass; }
    // Every changed file of the site, in one turn and over one login (publish_changed.h);
    // `finished` hears the run's result once it is over. The signal sums the run up.
    void publish_changed(changed_mode mode, const site_run_report& report,
                         const std::function<void(const site_run_result&)>& finished);

    // The outer height in twips, title bar included, as the window reports it.
    float outer_height() const;
    void set_outer_height(float twips);

    QPushButton* btn_copy;
    QLineEdit* txt_page;
    QLineEdit* txt_ftp_server;
    QPushButton* btn_edit;
    QLineEdit* txt_ftp_user;
    QLineEdit* txt_ftp_password;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLineEdit* txt_localdir;
    QLabel* Label4;
    QLineEdit* txt_ftpdir;
    QLabel* Label5;
    QPushButton* btn_save;
    transfer_component Inet1;
    // The look-up at start of a password that line 3 left to the keyring.
    password_lookup password_from_keyring;

signals:
    // After every upload, clicked or asked for, with what publish() tells.
    void published(bool succeeded, const QString& reason);

private:
    template <class Control> Control* place(std::string_view name);
    void name_for_screen_readers();
    void set_tab_order();
    void connect_handlers();
    static QString run_summary(const site_run_result& result);
    void take_turn(std::function<void()> request);
    void start_next();
    void publish_with(const std::function<put_outcome()>& upload, const QString& name,
                      const outcome_told& told);
    upload_view view();
    void save_clicked();
    setting_boxes setting_boxes_in_file_order() const;
    void tell_password_place(password_place place);

    QString settings_dir;
    QString settings_file;
    std::deque<std::function<void()>> waiting; // publishes asked for while one runs
    bool may_pass = false;
    bool publishing = false;
    float height_set = 0.0f; // the last outer height we set, and the client height it gave
    int client_height_set = -1;
};
