// Runs in a private D-Bus session of tests/keyring_session.py; each function names the mode it
// needs (tests/CMakeLists.txt).
#include "failure_path.h"
#include "form1.h"
#include "ftp_server_fixture.h"
#include "layout_table.h"
#include "password_keyring.h"
#include "settings_file.h"
#include "test_language.h"
#include "test_support.h"
#include "user_language.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <curl/curl.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The look-up's bound at start, and what a test allows beyond it.
constexpr qint64 bound_ms = 2000;
constexpr qint64 slack_ms = 1500;

struct site {
    QString server;
    QString user;
    QString password;
};

QStringList texts_of(const Form1& form) {
    return {form.txt_ftp_server->text(), form.txt_ftp_user->text(), form.txt_ftp_password->text(),
            form.txt_localdir->text(),   form.txt_ftpdir->text(),   form.txt_page->text()};
}

QByteArray file_of(const QStringList& texts) {
    return texts.join(u"\r\n"_s).toUtf8() + "\r\n";
}

} // namespace

Q_DECLARE_METATYPE(site)

class test_password_keyring final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    // With a keyring
    void save_then_restart_data();
    void save_then_restart();
    void sites_kept_apart_data();
    void sites_kept_apart();
    void upload_waits_for_the_lookup();
    // With no Secret Service on the bus
    void without_keyring_the_file_keeps_it();
    // With a keyring that never answers
    void silent_keyring_leaves_the_window_usable();

private:
    std::unique_ptr<Form1> started(const QByteArray& file = {}) {
        if (!file.isNull())
            write_file(path, file);
        auto form = std::make_unique<Form1>(dir->path());
        run_handler(form.get(), u"Start"_s, [&] { form->start_up(); });
        return form;
    }
    // Types the texts (all six, or the site's three) and clicks Save.
    void save(Form1& form, const QStringList& texts) {
        QLineEdit* boxes[] = {form.txt_ftp_server, form.txt_ftp_user, form.txt_ftp_password,
                              form.txt_localdir,   form.txt_ftpdir,   form.txt_page};
        for (qsizetype i = 0; i < texts.size(); ++i)
            boxes[i]->setText(texts[i]);
        form.btn_save->click();
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    QStringList shown; // what the failure path showed
};

void test_password_keyring::initTestCase() {
    install_translations();
    set_failure_sink([this](QWidget*, const QString& text) { shown << text; });
}

void test_password_keyring::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = settings_path(dir->path());
    shown.clear();
}

void test_password_keyring::save_then_restart_data() {
    QTest::addColumn<QByteArray>("old_file"); // null: none
    QTest::addColumn<QString>("in_keyring");  // stored for the site beforehand; empty: nothing
    QTest::addColumn<QStringList>("typed");   // empty: Save as loaded
    QTest::addColumn<QStringList>("restarted");
    const QStringList typed{u"ftp://h"_s, u"u"_s, u"geheim 1"_s, u"C:\\"_s, u"/"_s, u"p"_s};
    QTest::newRow("typed: line 3 empty, the same six texts again")
        << QByteArray() << QString() << typed << typed;
    const QStringList old{u"ftp://old"_s, u"u"_s, u"alt"_s, u"l"_s, u"f"_s, u"p"_s};
    QTest::newRow("old file with a password on line 3 loads and migrates")
        << file_of(old) << QString() << QStringList() << old;
    QTest::newRow("line 3 wins over the keyring's entry, then moves there")
        << file_of(old) << u"im Schl\u00fcsselbund"_s << QStringList() << old;
    const QStringList odd{
        u"ftp://a@b:%41/\u0142?x=1&y"_s, QString(), u" \u20ac %00 "_s, u"l"_s, u"f"_s, u"p"_s};
    QTest::newRow("odd texts and an empty user") << QByteArray() << QString() << odd << odd;
    const QStringList long_texts{QString(100'000, u's'),
                                 QString(100'000, u'u'),
                                 QString(100'000, u'p'),
                                 u"l"_s,
                                 u"f"_s,
                                 u"p"_s};
    QTest::newRow("100,000 characters each")
        << QByteArray() << QString() << long_texts << long_texts;
    QTest::newRow("an empty password removes the entry")
        << QByteArray() << u"alt"_s << QStringList{u"ftp://h"_s, u"u"_s, QString()}
        << QStringList{u"ftp://h"_s,        u"u"_s,     QString(),
                       u"C:\\Internet\\"_s, u"/www/"_s, u"aktuell_home.php"_s};
}

void test_password_keyring::save_then_restart() {
    QFETCH(QByteArray, old_file);
    QFETCH(QString, in_keyring);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, restarted);
    if (!in_keyring.isEmpty())
        QVERIFY(keep_in_keyring(restarted[0], restarted[1], in_keyring));
    {
        auto first = started(old_file);
        if (!old_file.isNull())
            QCOMPARE(first->txt_ftp_password->text(), restarted[2]);
        save(*first, typed);
        QCOMPARE(first->txt_ftp_password->toolTip(), QString());
    }
    QStringList in_file = restarted;
    in_file[2].clear();
    QCOMPARE(file_content(path), file_of(in_file));
    auto second = started();
    second->password_from_keyring.wait();
    QCOMPARE(texts_of(*second), restarted);
    QCOMPARE(shown, QStringList());
}

void test_password_keyring::sites_kept_apart_data() {
    QTest::addColumn<site>("a");
    QTest::addColumn<site>("b");
    QTest::newRow("two servers") << site{u"ftp://one"_s, u"u"_s, u"eins"_s}
                                 << site{u"ftp://two"_s, u"u"_s, u"zwei"_s};
    QTest::newRow("two users") << site{u"ftp://h"_s, u"anna"_s, u"eins"_s}
                               << site{u"ftp://h"_s, u"bert"_s, u"zwei"_s};
    QTest::newRow("joined, the same text")
        << site{u"ftp://h"_s, u"ab"_s, u"eins"_s} << site{u"ftp://ha"_s, u"b"_s, u"zwei"_s};
    QTest::newRow("the @ elsewhere")
        << site{u"c"_s, u"a@b"_s, u"eins"_s} << site{u"b@c"_s, u"a"_s, u"zwei"_s};
    QTest::newRow("empty server, empty user")
        << site{QString(), u"x"_s, u"eins"_s} << site{u"x"_s, QString(), u"zwei"_s};
}

void test_password_keyring::sites_kept_apart() {
    QFETCH(site, a);
    QFETCH(site, b);
    QByteArray files[2];
    int i = 0;
    for (const site& s : {a, b}) {
        save(*started(), {s.server, s.user, s.password});
        files[i++] = file_content(path);
    }
    i = 0;
    for (const site& s : {a, b}) {
        auto form = started(files[i++]);
        form->password_from_keyring.wait();
        QCOMPARE(form->txt_ftp_password->text(), s.password);
    }
    QCOMPARE(shown, QStringList());
}

void test_password_keyring::upload_waits_for_the_lookup() {
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(write_file(dir->filePath(u"page.html"_s), "<p>hallo</p>"));
    save(*started(), {server.url(), ftp_server::user(), ftp_server::password(), dir->path() + u'/',
                      u"/"_s, u"page.html"_s});
    auto form = started();
    QCOMPARE(form->txt_ftp_password->text(), QString()); // the keyring has not answered yet
    form->btn_copy->click();
    QCOMPARE(form->windowTitle(), u"O.K."_s);
    QCOMPARE(file_content(server.home() + u"/page.html"_s), QByteArray("<p>hallo</p>"));
    curl_global_cleanup();
}

void test_password_keyring::without_keyring_the_file_keeps_it() {
    const QStringList typed{u"ftp://h"_s, u"u"_s, u"geheim 1"_s, u"C:\\"_s, u"/"_s, u"p"_s};
    {
        auto form = started();
        save(*form, typed);
        const QString note = form->txt_ftp_password->toolTip();
        QCOMPARE(note, in_language(u"No keyring took the password: it is kept in the settings "
                                   u"file."_s,
                                   u"Kein Schlüsselbund hat das Passwort angenommen: Es steht in "
                                   u"der Einstellungsdatei."_s));
        QCOMPARE(form->txt_ftp_password->accessibleDescription(), note);
    }
    QCOMPARE(file_content(path), file_of(typed)); // today's bytes
    auto form = started();
    QCOMPARE(texts_of(*form), typed);
    QCOMPARE(shown, QStringList());
}

void test_password_keyring::silent_keyring_leaves_the_window_usable() {
    const QStringList in_file{u"ftp://127.0.0.1:%1"_s.arg(closed_port()),
                              u"u"_s,
                              QString(),
                              dir->path() + u'/',
                              u"/"_s,
                              u"p"_s};
    QElapsedTimer clock;
    clock.start();
    auto form = started(file_of(in_file));
    QCOMPARE_LT(clock.elapsed(), slack_ms);
    form->btn_edit->click();
    QCOMPARE(form->outer_height(), expanded_height);
    form->btn_copy->click(); // waits for the look-up's bound, then uploads without a password
    QCOMPARE_GE(clock.elapsed(), bound_ms - 100);
    QCOMPARE_LT(clock.elapsed(), bound_ms + slack_ms);
    QCOMPARE(form->windowTitle(), u"Fehler"_s);
    QCOMPARE(texts_of(*form), in_file);
}

QTEST_MAIN(test_password_keyring)
#include "test_password_keyring.moc"
