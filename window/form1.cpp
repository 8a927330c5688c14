#include "form1.h"

#include "failure_path.h"
#include "fixed_texts.h"
#include "layout_table.h"
#include "minimise_after_first_frame.h"
#include "publish_changed.h"
#include "publish_file.h"
#include "publish_record.h"
#include "response_text.h"
#include "settings_file.h"
#include "settings_location.h"
#include "upload_page.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

const control_row& layout_row(std::string_view name) {
    auto row = std::find_if(layout_table.begin(), layout_table.end(),
                            [name](const control_row& r) { return r.name == name; });
    if (row == layout_table.end())
        throw std::logic_error("no layout row for control " + std::string(name));
    return *row;
}

QString text_of(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The settings boxes whose entry an input method must not compose or predict.
void keep_input_method_out(QLineEdit* box) {
    box->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase | Qt::ImhLatinOnly);
}

} // namespace

Form1::Form1(const QString& settings_dir, transfer_options options)
    : Inet1(options, this), settings_dir(settings_dir), settings_file(settings_path(settings_dir)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowIcon(icon());
    // The table's boxes are 17 pixels high: dialog text of the size they were drawn for.
    QFont dialog_font = font();
    dialog_font.setPointSizeF(8.0);
    setFont(dialog_font);
    resize(twips_to_pixels(design_client_width), twips_to_pixels(design_client_height));

    btn_copy = place<QPushButton>("btn_copy");
    txt_page = place<QLineEdit>("txt_page");
    txt_ftp_server = place<QLineEdit>("txt_ftp_server");
    btn_edit = place<QPushButton>("btn_edit");
    txt_ftp_user = place<QLineEdit>("txt_ftp_user");
    txt_ftp_password = place<QLineEdit>("txt_ftp_password");
    Label1 = place<QLabel>("Label1");
    Label2 = place<QLabel>("Label2");
    Label3 = place<QLabel>("Label3");
    txt_localdir = place<QLineEdit>("txt_localdir");
    Label4 = place<QLabel>("Label4");
    txt_ftpdir = place<QLineEdit>("txt_ftpdir");
    Label5 = place<QLabel>("Label5");
    btn_save = place<QPushButton>("btn_save");
    Inet1.setObjectName(QStringLiteral("Inet1"));

    txt_ftp_password->setEchoMode(QLineEdit::Password);
    // The style's own mask character is a bullet; this program shows stars.
    txt_ftp_password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    for (QLineEdit* box : {txt_ftp_password, txt_localdir, txt_ftpdir})
        keep_input_method_out(box);

    name_for_screen_readers();
    set_tab_order();
    btn_copy->setFocus();
    connect_handlers();
}

QIcon Form1::icon() {
    return QIcon(QStringLiteral(":/ftp-publisher/icon.xpm"));
}

template <class Control> Control* Form1::place(std::string_view name) {
    const control_row& row = layout_row(name);
    auto* control = new Control(text_of(row.text), this);
    control->setObjectName(text_of(row.name));
    control->setGeometry(twips_to_pixels(row.left), twips_to_pixels(row.top),
                         twips_to_pixels(row.width), twips_to_pixels(row.height));
    if constexpr (std::is_same_v<Control, QPushButton>) {
        control->setAutoDefault(false);
        control->setDefault(false);
    }
    if constexpr (std::is_same_v<Control, QLineEdit>)
        control->setMaxLength(std::numeric_limits<int>::max());
    return control;
}

void Form1::name_for_screen_readers() {
    // A text box takes its accessible name from the label that has it as buddy; the captions
    // have no "&", so this adds no access key.
    for (const control_row& row : layout_table)
        if (!row.buddy.empty())
            findChild<QLabel*>(text_of(row.name), Qt::FindDirectChildrenOnly)
                ->setBuddy(findChild<QWidget*>(text_of(row.buddy), Qt::FindDirectChildrenOnly));
    // The one box without a label.
    txt_page->setAccessibleName(tr("File name of the page"));
}

void Form1::set_tab_order() {
    QWidget* previous = nullptr;
    for (const control_row& row : layout_table) {
        if (row.kind == control_kind::label)
            continue;
        QWidget* control = findChild<QWidget*>(text_of(row.name), Qt::FindDirectChildrenOnly);
        if (previous)
            setTabOrder(previous, control);
        previous = control;
    }
}

void Form1::connect_handlers() {
    connect(btn_copy, &QPushButton::clicked, this, [this] { publish(); });
    connect(btn_edit, &QPushButton::clicked, this,
            [this] { run_handler(this, btn_edit->text(), [this] { toggle_settings(); }); });
    connect(btn_save, &QPushButton::clicked, this,
            [this] { run_handler(this, btn_save->text(), [this] { save_clicked(); }); });
}

void Form1::start_up() {
    setWindowState(windowState() | Qt::WindowMinimized);
    set_outer_height(collapsed_height);
    setWindowTitle(fixed_text::window_title.toString());
    load_settings(settings_file, setting_boxes_in_file_order());
    // A password on line 3 wins; an empty line asks the keyring, without holding up the window.
    if (txt_ftp_password->text().isEmpty())
        password_from_keyring.start(txt_ftp_server->text(), txt_ftp_user->text(), txt_ftp_password);
}

void Form1::show_as_started() {
    const bool minimised = isMinimized();
    show();
    if (minimised && QGuiApplication::platformName().startsWith(u"wayland")) {
        minimise_after_first_frame(windowHandle());
        return;
    }
    // Qt's X11 backend maps a window that was resized before its first show in the normal
    // state even when it is minimised; asked again once mapped, it minimises it.
    if (isMinimized())
        windowHandle()->setWindowStates(windowHandle()->windowStates());
}

void Form1::toggle_settings() {
    if (outer_height() == expanded_height)
        set_outer_height(collapsed_height);
    else
        set_outer_height(expanded_height);
}

setting_boxes Form1::setting_boxes_in_file_order() const {
    return {txt_ftp_server, txt_ftp_user, txt_ftp_password, txt_localdir, txt_ftpdir, txt_page};
}

upload_view Form1::view() {
    return {this,     txt_ftp_server, txt_ftp_user, txt_ftp_password, txt_localdir, txt_ftpdir,
            txt_page, btn_copy,       &Inet1};
}

void Form1::publish(const outcome_told& told) {
    take_turn([this, told] {
        publish_with([this] { return put_outcome{upload_page(view()), {}, false}; }, {}, told);
    });
}

void Form1::publish_files(const QList<site_file>& files, const outcome_told& told) {
    take_turn([this, files, told] {
        // One login for all: a PUT each, one CLOSE after the last.
        for (const site_file& file : files)
            publish_with([this, &file] { return put_file(view(), file); },
                         file.relative + QStringLiteral(": "), told);
        if (!files.isEmpty())
            close_connection(view());
    });
}

// What the notification says of a run: how many arrived, or the first failure and how many failed.
QString Form1::run_summary(const site_run_result& result) {
    // One arg() call each: a "%2" in the failure's text stays as it is.
    if (result.failed == 1)
        return tr("%1 (1 file failed)").arg(result.first_failure);
    if (result.failed > 1)
        return tr("%1 (%2 files failed)").arg(result.first_failure, QString::number(result.failed));
    return result.published == 1 ? tr("1 file published")
                                 : tr("%1 files published").arg(result.published);
}

void Form1::publish_changed(changed_mode mode, const site_run_report& report,
                            const std::function<void(const site_run_result&)>& finished) {
    take_turn([this, mode, report, finished] {
        site_run_result result;
        run_handler(
            this, tr("Publish changed files"),
            [&] {
                password_from_keyring.wait();
                result =
                    ::publish_changed(view(),
                                      publish_record::state_folder(
                                          settings_dir, QCoreApplication::applicationDirPath()),
                                      mode, report);
            },
            [&](const QString& reason) { result.refused = reason; });
        if (mode == changed_mode::publish && result.refused.isEmpty())
            emit published(result.failed == 0, run_summary(result));
        finished(result);
    });
}

void Form1::take_turn(std::function<void()> request) {
    waiting.push_back(std::move(request));
    start_next();
}

void Form1::start_next() {
    if (publishing || waiting.empty())
        return;
    publishing = true;
    const std::function<void()> request = std::move(waiting.front());
    waiting.pop_front();
    request();
    publishing = false;
    // From the event loop: the caller of this one finishes first.
    if (!waiting.empty())
        QTimer::singleShot(0, this, [this] { start_next(); });
}

void Form1::publish_with(const std::function<put_outcome()>& upload, const QString& name,
                         const outcome_told& told) {
    const auto tell = [this, &told, &name](bool succeeded, const QString& reason) {
        if (told)
            told(succeeded, name + reason);
        emit published(succeeded, name + reason);
    };
    run_handler(
        this, btn_copy->text(),
        [this, &tell, &upload] {
            password_from_keyring.wait();
            const put_outcome put = upload();
            may_pass = put.may_pass;
            tell(put.response.contains(success_marker, Qt::CaseSensitive), put.response);
        },
        [this, &tell](const QString& reason) {
            may_pass = false;
            tell(false, reason);
        });
}

void Form1::save_clicked() {
    // The box must hold what the keyring has before it is saved over.
    password_from_keyring.wait();
    make_settings_folder(settings_file);
    const setting_boxes boxes = setting_boxes_in_file_order();
    check_settings_fit(settings_file, boxes);
    const auto site = [this] {
        return QStringList{txt_ftp_server->text(), txt_ftp_user->text(), txt_ftp_password->text()};
    };
    const QStringList stored = site();
    // Texts typed while the keyring was busy were not stored there: the file takes them all.
    const bool in_keyring = keep_in_keyring(stored[0], stored[1], stored[2]) && site() == stored;
    const password_place place = in_keyring ? password_place::keyring : password_place::file;
    save_settings(settings_file, boxes, place);
    tell_password_place(place);
    toggle_settings();
}

void Form1::tell_password_place(password_place place) {
    const QString note = place == password_place::file && !txt_ftp_password->text().isEmpty()
                             ? tr("No keyring took the password: it is kept in the settings "
                                  "file.")
                             : QString();
    txt_ftp_password->setToolTip(note);
    txt_ftp_password->setAccessibleDescription(note);
}

float Form1::outer_height() const {
    // A window system keeps whole pixels and may round what we set, so a height we set would
    // not read back exactly; as long as the window still has the client height that our own
    // setting gave it, report that setting. Any other height, say after the user resized the
    // window, is reported as it is.
    if (height() == client_height_set)
        return height_set;
    return static_cast<float>(height() * twips_per_pixel) + caption_height;
}

void Form1::set_outer_height(float twips) {
    resize(width(), std::max(0, twips_to_pixels(twips - caption_height)));
    height_set = twips;
    client_height_set = height();
}
