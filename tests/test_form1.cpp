#include "failure_path.h"
#include "form1.h"
#include "layout_table.h"
#include "test_language.h"
#include "user_language.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;

class test_form1 final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void controls_data();
    void controls();
    void geometry_data();
    void geometry();
    void password_shows_stars();
    void settings_boxes_keep_input_method_out();
    void no_access_keys_and_no_default_button();
    void tab_order_data();
    void tab_order();
    void start_up_state();
    void edit_expands_collapses_expands();
    void user_resize_makes_edit_expand_data();
    void user_resize_makes_edit_expand();
    void height_reads_back_as_set_data();
    void height_reads_back_as_set();
    void failed_handler_reaches_message_and_program_goes_on();
    void message_shows_markup_in_a_path_as_it_is();
    void icon_is_32_by_32_in_16_colours();
    void translations_follow_the_language();

private:
    QTemporaryDir settings_dir; // empty: no ftpserver.ini, so the boxes keep their initial texts
    std::unique_ptr<Form1> form;
};

void test_form1::initTestCase() {
    install_translations();
}

void test_form1::init() {
    form = std::make_unique<Form1>(settings_dir.path());
}

void test_form1::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("class_name");
    QTest::addColumn<QString>("text");
    // The window's own words, written out here so that a slip in the layout table shows.
    const char* const rows[][3] = {
        {"btn_copy", "QPushButton", "nach FTP kopieren"},
        {"txt_page", "QLineEdit", "aktuell_home.php"},
        {"txt_ftp_server", "QLineEdit", "ftp://ftp.example.com"},
        {"btn_edit", "QPushButton", "Edit"},
        {"txt_ftp_user", "QLineEdit", "webmaster"},
        {"txt_ftp_password", "QLineEdit", "wolkenbus7"},
        {"Label1", "QLabel", "FTP - Server"},
        {"Label2", "QLabel", "User Name"},
        {"Label3", "QLabel", "Passwort"},
        {"txt_localdir", "QLineEdit", "C:\\Internet\\"},
        {"Label4", "QLabel", "Local Dir"},
        {"txt_ftpdir", "QLineEdit", "/www/"},
        {"Label5", "QLabel", "FTP Dir"},
        {"btn_save", "QPushButton", "Save"},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1])
                              << QString::fromUtf8(row[2]);
}

void test_form1::controls() {
    QFETCH(QString, name);
    QFETCH(QString, class_name);
    QFETCH(QString, text);
    auto* control = form->findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), class_name);
    QString shown;
    if (auto* button = qobject_cast<QPushButton*>(control))
        shown = button->text();
    else if (auto* box = qobject_cast<QLineEdit*>(control))
        shown = box->text();
    else if (auto* label = qobject_cast<QLabel*>(control))
        shown = label->text();
    QCOMPARE(shown, text);
    QVERIFY(control->isVisibleTo(form.get()));
    QVERIFY(control->isEnabled());
    QVERIFY(form->findChild<QObject*>(QStringLiteral("Inet1")));
}

void test_form1::geometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("btn_copy") << "btn_copy" << QRect(152, 4, 109, 21);
    QTest::newRow("txt_page") << "txt_page" << QRect(4, 4, 141, 21);
    QTest::newRow("btn_edit") << "btn_edit" << QRect(264, 4, 29, 21);
    QTest::newRow("Label3") << "Label3" << QRect(0, 84, 69, 17);
    QTest::newRow("txt_ftpdir") << "txt_ftpdir" << QRect(72, 124, 153, 17);
    QTest::newRow("btn_save") << "btn_save" << QRect(240, 120, 49, 21);
}

void test_form1::geometry() {
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QCOMPARE(form->findChild<QWidget*>(name)->geometry(), pixels);
    QCOMPARE(form->size(), QSize(298, 150));
}

void test_form1::password_shows_stars() {
    QCOMPARE(form->txt_ftp_password->displayText(), QStringLiteral("**********"));
    form->txt_ftp_password->setText(QStringLiteral("ä b"));
    QCOMPARE(form->txt_ftp_password->displayText(), QStringLiteral("***"));
    QCOMPARE(form->txt_ftp_password->text(), QStringLiteral("ä b"));
    QCOMPARE(form->txt_localdir->displayText(), form->txt_localdir->text());
}

void test_form1::settings_boxes_keep_input_method_out() {
    for (QLineEdit* box : {form->txt_ftp_password, form->txt_localdir, form->txt_ftpdir}) {
        const auto hints = Qt::InputMethodHints(box->inputMethodQuery(Qt::ImHints).toInt());
        QVERIFY2(hints.testFlag(Qt::ImhNoPredictiveText), qPrintable(box->objectName()));
        QVERIFY2(hints.testFlag(Qt::ImhLatinOnly), qPrintable(box->objectName()));
    }
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->txt_localdir->setFocus();
    form->txt_localdir->clear();
    QTest::keyClicks(form->txt_localdir, QStringLiteral("D:\\Web Seiten\\"));
    QCOMPARE(form->txt_localdir->text(), QStringLiteral("D:\\Web Seiten\\"));
}

void test_form1::no_access_keys_and_no_default_button() {
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    const auto buttons = form->findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 3);
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (QPushButton* button : buttons) {
        QVERIFY(!button->text().contains(u'&'));
        spies.push_back(std::make_unique<QSignalSpy>(button, &QPushButton::clicked));
    }
    for (QLabel* label : form->findChildren<QLabel*>())
        QVERIFY(!label->text().contains(u'&'));
    const auto old_failure_sink = set_failure_sink([](QWidget*, const QString&) {});
    for (QLineEdit* target : {form->txt_page, form->txt_ftp_user}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter);
        QTest::keyClick(target, Qt::Key_Escape);
        QTest::keyClick(target, Qt::Key_S, Qt::AltModifier);
        QTest::keyClick(target, Qt::Key_E, Qt::AltModifier);
    }
    set_failure_sink(old_failure_sink);
    for (const auto& spy : spies)
        QCOMPARE(spy->count(), 0);
}

void test_form1::tab_order_data() {
    QTest::addColumn<bool>("collapsed");
    QTest::newRow("expanded") << false;
    QTest::newRow("collapsed") << true;
}

void test_form1::tab_order() {
    QFETCH(bool, collapsed);
    form->set_outer_height(collapsed ? collapsed_height : expanded_height);
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QCOMPARE(QApplication::focusWidget(), form->btn_copy);
    const QStringList expected{QStringLiteral("txt_page"),         QStringLiteral("txt_ftp_server"),
                               QStringLiteral("btn_edit"),         QStringLiteral("txt_ftp_user"),
                               QStringLiteral("txt_ftp_password"), QStringLiteral("txt_localdir"),
                               QStringLiteral("txt_ftpdir"),       QStringLiteral("btn_save"),
                               QStringLiteral("btn_copy")};
    for (const QString& name : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
    QCOMPARE(form->height(), collapsed ? 34 : 150);
}

void test_form1::start_up_state() {
    form->start_up();
    QVERIFY(form->windowState().testFlag(Qt::WindowMinimized));
    QCOMPARE(form->windowTitle(), QStringLiteral("FTP - Server"));
    QCOMPARE(form->outer_height(), collapsed_height);
    QCOMPARE(form->height(), 34);
    QCOMPARE(form->width(), 298);
    QCOMPARE(form->txt_page->text(), QStringLiteral("aktuell_home.php"));
}

void test_form1::edit_expands_collapses_expands() {
    form->start_up();
    form->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    const std::array<std::pair<float, int>, 3> steps{
        {{expanded_height, 150}, {collapsed_height, 34}, {expanded_height, 150}}};
    for (const auto& [twips, pixels] : steps) {
        QTest::mouseClick(form->btn_edit, Qt::LeftButton);
        QCOMPARE(form->outer_height(), twips);
        QCOMPARE(form->height(), pixels);
        QCOMPARE(form->width(), 298);
    }
    QVERIFY(form->btn_save->isVisibleTo(form.get()));
}

void test_form1::user_resize_makes_edit_expand_data() {
    QTest::addColumn<float>("set_before");
    QTest::addColumn<int>("user_height");
    QTest::newRow("taller than expanded") << expanded_height << 200;
    QTest::newRow("one pixel off expanded") << expanded_height << 151;
    QTest::newRow("between the two") << collapsed_height << 90;
    QTest::newRow("lower than collapsed") << collapsed_height << 20;
}

void test_form1::user_resize_makes_edit_expand() {
    QFETCH(float, set_before);
    QFETCH(int, user_height);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->set_outer_height(set_before);
    form->resize(form->width(), user_height); // what a drag of the window's edge does
    QCOMPARE(form->outer_height(), static_cast<float>(user_height * 15 + 345));
    form->toggle_settings();
    QCOMPARE(form->outer_height(), expanded_height);
    QCOMPARE(form->height(), 150);
}

void test_form1::height_reads_back_as_set_data() {
    QTest::addColumn<float>("twips");
    QTest::newRow("collapsed") << collapsed_height;
    QTest::newRow("expanded") << expanded_height;
    QTest::newRow("not a whole pixel") << 2600.0f;
    QTest::newRow("a fraction of a twip") << 1234.5f;
}

void test_form1::height_reads_back_as_set() {
    // Also run with QT_SCALE_FACTOR=1.25, where a pixel of the window is not a device pixel.
    QFETCH(float, twips);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
        QCOMPARE(form->devicePixelRatio(), 1.25);
    form->set_outer_height(twips);
    QCoreApplication::processEvents();
    QCOMPARE(form->outer_height(), twips);
    // Edit can always collapse again, whatever the scale.
    form->toggle_settings();
    QCOMPARE(form->outer_height(), twips == expanded_height ? collapsed_height : expanded_height);
    form->toggle_settings();
    QCOMPARE(form->outer_height(), twips == expanded_height ? expanded_height : collapsed_height);
}

void test_form1::failed_handler_reaches_message_and_program_goes_on() {
    QStringList shown;
    const auto old_sink =
        set_failure_sink([&shown](QWidget*, const QString& text) { shown << text; });
    bool later_step_ran = false;
    run_handler(form.get(), QStringLiteral("Save"), [&] {
        throw std::runtime_error("cannot write /nowhere/ftpserver.ini: Permission denied");
        later_step_ran = true;
    });
    QCOMPARE(shown.size(), 1);
    QVERIFY(shown.first().contains(QStringLiteral("Save")));
    QVERIFY(shown.first().contains(QStringLiteral("/nowhere/ftpserver.ini: Permission denied")));
    QVERIFY(!later_step_ran);

    run_handler(form.get(), QStringLiteral("Edit"), [] { throw 42; });
    QCOMPARE(shown.size(), 2);

    // The program goes on: the next click works as usual.
    form->set_outer_height(collapsed_height);
    QTest::mouseClick(form->btn_edit, Qt::LeftButton);
    QCOMPARE(form->outer_height(), expanded_height);
    QCOMPARE(shown.size(), 2);
    set_failure_sink(old_sink);
}

// The real message box, not waited for by the click, closed by the test as soon as it is up.
void test_form1::message_shows_markup_in_a_path_as_it_is() {
    const QString folder = settings_dir.path() + u"/<b>x</b>"_s; // never created: Save fails
    Form1 window(folder);
    QString text;
    std::optional<Qt::TextFormat> format;
    QTimer poll;
    int ticks = 0;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box) {
            const auto* label = box->findChild<QLabel*>(u"qt_msgbox_label"_s);
            format = label ? label->textFormat() : box->textFormat();
            text = label ? label->text() : box->text();
            box->done(QMessageBox::Ok);
        }
        if (box || ++ticks > 200)
            poll.stop();
    });
    poll.start(50);
    window.btn_save->click();
    QTRY_VERIFY(format.has_value());
    QCOMPARE(*format, Qt::PlainText);
    QVERIFY2(text.contains(folder), qPrintable(text));
}

void test_form1::icon_is_32_by_32_in_16_colours() {
    const QImage image(QStringLiteral(":/ftp-publisher/icon.xpm"));
    QCOMPARE(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() <= 16, qPrintable(QString::number(colours.size())));
    QVERIFY(!form->windowIcon().isNull());
}

// Ours and Qt's own (the buttons of a message box) in the language of the locale.
void test_form1::translations_follow_the_language() {
    QAccessibleInterface* page = QAccessible::queryAccessibleInterface(form->txt_page);
    QCOMPARE(page->text(QAccessible::Name), in_language(QStringLiteral("File name of the page"),
                                                        QStringLiteral("Dateiname der Seite")));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
             in_language(QStringLiteral("Cancel"), QStringLiteral("Abbrechen")));
}

QTEST_MAIN(test_form1)
#include "test_form1.moc"
