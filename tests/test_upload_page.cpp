#include "failure_path.h"
#include "form1.h"
#include "ftp_server_fixture.h"
#include "test_language.h"
#include "user_language.h"

#include <QAccessible>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <curl/curl.h>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qsizetype page_size = 70000;
constexpr int idle_timeout_ms = 20000;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool minimised(const QWidget& window) {
    return window.windowState().testFlag(Qt::WindowMinimized);
}

// A tooltip's text without the blanks and line breaks that wrapping may have exchanged.
QString unwrapped(QString text) {
    return text.remove(u' ').remove(u'\n');
}

const QString markup_reply =
    u"553 <h1 style=\"color:green\">Übertragung erfolgreich</h1><img src=\"file:///etc/passwd\">"
    u"<a href=\"http://127.0.0.1/\">click</a>"_s;

} // namespace

class test_upload_page final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void outcome_data();
    void outcome();
    void refused_setting_data();
    void refused_setting();
    void texts_read_after_the_first_wait();
    void requests_wait_their_turn_data();
    void requests_wait_their_turn();
    void cpu_time_of_a_long_upload();

private:
    // A window whose boxes point at `url` with the initial-style directories and page.
    std::unique_ptr<Form1> window_for(const QString& url, transfer_options limits = {});
    QString local_path(const QString& name) const { return local->path() + u'/' + name; }

    std::unique_ptr<QTemporaryDir> local;
    std::unique_ptr<QTemporaryDir> settings;
    QStringList failures; // what the failure path was given
    failure_sink previous_sink;
};

void test_upload_page::initTestCase() {
    install_translations();
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
}

void test_upload_page::cleanupTestCase() {
    curl_global_cleanup();
}

void test_upload_page::init() {
    local = std::make_unique<QTemporaryDir>();
    settings = std::make_unique<QTemporaryDir>();
    QVERIFY(local->isValid() && settings->isValid());
    failures.clear();
    previous_sink = set_failure_sink([this](QWidget*, const QString& text) { failures << text; });
}

void test_upload_page::cleanup() {
    set_failure_sink(std::move(previous_sink));
}

std::unique_ptr<Form1> test_upload_page::window_for(const QString& url, transfer_options limits) {
    auto form = std::make_unique<Form1>(settings->path(), limits);
    form->txt_ftp_server->setText(url);
    form->txt_ftp_user->setText(ftp_server::user());
    form->txt_ftp_password->setText(ftp_server::password());
    form->txt_localdir->setText(local->path() + u"/Internet/"_s);
    form->txt_ftpdir->setText(u"/www/"_s);
    form->txt_page->setText(u"aktuell_home.php"_s);
    form->show();
    return form;
}

void test_upload_page::outcome_data() {
    QTest::addColumn<QString>("server"); // "ftp", "silent" or "closed port"
    QTest::addColumn<QStringList>("server_args");
    QTest::addColumn<QString>("local_dir");  // under the local temporary directory
    QTest::addColumn<QString>("local_file"); // what exists there; empty: nothing
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("ftp_dir");
    QTest::addColumn<QString>("remote_dir"); // what exists on the server
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("in_response"); // %L: the local temporary directory
    QTest::addColumn<QString>("stored");      // empty: nothing stored
    QTest::addColumn<int>("max_ms");

    const QString ftp = u"ftp"_s;
    const QString page = u"aktuell_home.php"_s;
    const QString local_file = u"Internet/aktuell_home.php"_s;
    const QString password = ftp_server::password();
    QTest::newRow("initial-style settings")
        << ftp << QStringList() << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s
        << password << u"O.K."_s << u"erfolgreich"_s << u"www/aktuell_home.php"_s << 10000;
    QTest::newRow("local directory without separator")
        << ftp << QStringList() << u"Internet"_s << local_file << page << u"/www/"_s << u"www"_s
        << password << u"Fehler"_s << u"local file not found: %L/Internetaktuell_home.php"_s
        << QString() << 10000;
    QTest::newRow("remote directory without separator")
        << ftp << QStringList() << u"Internet/"_s << local_file << page << u"/www"_s << u"www"_s
        << password << u"O.K."_s << u"erfolgreich"_s << u"wwwaktuell_home.php"_s << 10000;
    QTest::newRow("blanks, percent and hash in the names")
        << ftp << QStringList() << u"lokal 100% #1/"_s << u"lokal 100% #1/neu 50% #2.php"_s
        << u"neu 50% #2.php"_s << u"/ziel 100% #1/"_s << u"ziel 100% #1"_s << password << u"O.K."_s
        << u"erfolgreich"_s << u"ziel 100% #1/neu 50% #2.php"_s << 10000;
    QTest::newRow("wrong password")
        << ftp << QStringList() << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s
        << u"falsch"_s << u"Fehler"_s
        << in_language(u"upload failed: Access denied: 530; last server reply: 530"_s,
                       u"Hochladen fehlgeschlagen: Access denied: 530; letzte Antwort des Servers: "
                       u"530"_s)
        << QString() << 10000;
    QTest::newRow("remote directory missing")
        << ftp << QStringList() << u"Internet/"_s << local_file << page << u"/fehlt/"_s << u"www"_s
        << password << u"Fehler"_s << u"550"_s << QString() << 10000;
    QTest::newRow("local file missing")
        << ftp << QStringList() << u"Internet/"_s << QString() << page << u"/www/"_s << u"www"_s
        << password << u"Fehler"_s
        << in_language(u"local file not found"_s, u"lokale Datei nicht gefunden"_s) << QString()
        << 10000;
    QTest::newRow("closed port") << u"closed port"_s << QStringList() << u"Internet/"_s
                                 << local_file << page << u"/www/"_s << QString() << password
                                 << u"Fehler"_s << u"connect"_s << QString() << 2000;
    // Connect and reply timeouts of 2 s each.
    QTest::newRow("server that never answers")
        << u"silent"_s << QStringList{u"--silent"_s} << u"Internet/"_s << local_file << page
        << u"/www/"_s << QString() << password << u"Fehler"_s << u"time"_s << QString() << 5500;
    QTest::newRow("error reply holding the marker")
        << ftp << QStringList{u"--reply-on-stor"_s, u"550 Speichern nicht erfolgreich"_s}
        << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s << password << u"Fehler"_s
        << u"550 Speichern nicht ERFOLGREICH"_s << QString() << 10000;
    // Shown as text: no heading, no image, no link, and never the marker.
    QTest::newRow("markup in the server's reply")
        << ftp << QStringList{u"--reply-on-stor"_s, markup_reply} << u"Internet/"_s << local_file
        << page << u"/www/"_s << u"www"_s << password << u"Fehler"_s
        << QString(markup_reply).replace(u"erfolgreich"_s, u"ERFOLGREICH"_s) << QString() << 10000;
    QTest::newRow("markup in the page's name")
        << ftp << QStringList() << u"Internet/"_s << QString() << u"<b>x</b>.php"_s << u"/www/"_s
        << u"www"_s << password << u"Fehler"_s
        << u"local file not found: %L/Internet/<b>x</b>.php"_s << QString() << 10000;
    QTest::newRow("control characters in the reply")
        << ftp << QStringList{u"--reply-on-stor"_s, u"553 rot\x1b[31m\u202Eegap"_s}
        << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s << password << u"Fehler"_s
        << u"553 rot\uFFFD[31m\uFFFDegap"_s << QString() << 10000;
    QTest::newRow("endless reply")
        << ftp << QStringList{u"--reply-on-stor"_s, u"553 "_s + QString(5000, u'x')}
        << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s << password << u"Fehler"_s
        << u"more characters cut]"_s << QString() << 10000;
    QTest::newRow("server echoing the password")
        << ftp << QStringList{u"--reply"_s, u"PASS"_s, u"530 Passwort {arg} falsch"_s}
        << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s << password << u"Fehler"_s
        << u"530 Passwort **** falsch"_s << QString() << 10000;
    // A DEL is shown replaced, and the rest of the password must not show around it.
    QTest::newRow("server echoing a password with a DEL")
        << ftp << QStringList{u"--reply"_s, u"PASS"_s, u"530 Passwort {arg} falsch"_s}
        << u"Internet/"_s << local_file << page << u"/www/"_s << u"www"_s << u"geh\x7Fim"_s
        << u"Fehler"_s << u"530 Passwort **** falsch"_s << QString() << 10000;
}

void test_upload_page::outcome() {
    QFETCH(QString, server);
    QFETCH(QStringList, server_args);
    QFETCH(QString, local_dir);
    QFETCH(QString, local_file);
    QFETCH(QString, page);
    QFETCH(QString, ftp_dir);
    QFETCH(QString, remote_dir);
    QFETCH(QString, password);
    QFETCH(QString, title);
    QFETCH(QString, in_response);
    QFETCH(QString, stored);
    QFETCH(int, max_ms);

    std::unique_ptr<ftp_server> ftp;
    QString url = u"ftp://127.0.0.1:%1"_s.arg(closed_port());
    if (server != u"closed port") {
        ftp = std::make_unique<ftp_server>(server_args);
        QVERIFY2(ftp->started(), qPrintable(ftp->start_error()));
        url = ftp->url();
        if (!remote_dir.isEmpty())
            QVERIFY(QDir(ftp->home()).mkpath(remote_dir));
    }
    const QByteArray content = awkward_content(page_size);
    if (!local_file.isEmpty())
        QVERIFY(write_file(local_path(local_file), content));

    const auto form = window_for(url, short_limits());
    form->txt_localdir->setText(local_path(local_dir));
    form->txt_page->setText(page);
    form->txt_ftpdir->setText(ftp_dir);
    form->txt_ftp_password->setText(password);
    QElapsedTimer clock;
    clock.start();
    form->btn_copy->click();
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(form->windowTitle(), title);
    QVERIFY(minimised(*form));
    QCOMPARE(failures, QStringList());
    // What the button says for screen readers: the response, or the failure before any PUT.
    const QString response = form->btn_copy->accessibleDescription();
    const QString tooltip = form->btn_copy->toolTip();
    QVERIFY2(!Qt::mightBeRichText(tooltip), qPrintable(tooltip));
    QVERIFY2(tooltip.startsWith(in_language(u"Last upload:\n"_s, u"Letzte Übertragung:\n"_s)),
             qPrintable(tooltip));
    QVERIFY2(unwrapped(tooltip).contains(unwrapped(response)), qPrintable(tooltip));
    QCOMPARE(QAccessible::queryAccessibleInterface(form->btn_copy)->text(QAccessible::Description),
             response);
    QVERIFY2(response.size() < 2100, qPrintable(QString::number(response.size())));
    QVERIFY2(response.contains(QString(in_response).replace(u"%L"_s, local->path())),
             qPrintable(response));
    QVERIFY2(!response.contains(password), qPrintable(response));
    QVERIFY2(elapsed < max_ms, qPrintable(QString::number(elapsed)));
    if (!stored.isEmpty()) {
        QCOMPARE(file_content(ftp->home() + u'/' + stored), content);
        QVERIFY(ftp->wait_for_event(u"COMMAND QUIT"_s)); // the upload's CLOSE
    } else if (ftp) {
        QVERIFY(ftp->events_starting_with(u"STORED"_s).isEmpty());
    }
    if (local_file.isEmpty() || !local_dir.endsWith(u'/')) // nothing to upload: nothing sent
        QVERIFY(ftp->events_starting_with(u"CONNECT"_s).isEmpty());
}

void test_upload_page::refused_setting_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");

    QTest::newRow("CR LF in the user name") << u"txt_ftp_user"_s << u"publisher\r\nDELE x"_s;
    QTest::newRow("LF in the password") << u"txt_ftp_password"_s << u"geheim\nDELE x"_s;
    QTest::newRow("CR in the server URL") << u"txt_ftp_server"_s << u"ftp://127.0.0.1\r"_s;
    QTest::newRow("LF in the page name") << u"txt_page"_s << u"aktuell_home.php\nDELE x"_s;
    QTest::newRow("NUL in the remote directory") << u"txt_ftpdir"_s << QString(u"/www/\0"_s);
}

// A refused setting is a failing step: the failure path gets it, the title stays, the window
// stays open and the server hears nothing.
void test_upload_page::refused_setting() {
    QFETCH(QString, box);
    QFETCH(QString, text);

    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"www"_s));
    QVERIFY(write_file(local_path(u"Internet/aktuell_home.php"_s), awkward_content(page_size)));
    const auto form = window_for(server.url(), short_limits());
    form->setWindowTitle(u"O.K."_s);
    auto* edit = form->findChild<QLineEdit*>(box);
    QVERIFY(edit);
    const QString good = edit->text();
    edit->setText(text);
    QCOMPARE(edit->text(), text);

    form->btn_copy->click();
    QCOMPARE(form->windowTitle(), u"FTP - Server"_s);
    QVERIFY(!minimised(*form));
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures[0].contains(u"control character"_s), qPrintable(failures[0]));
    QVERIFY(!failures[0].contains(u"geheim"_s));
    QCOMPARE(form->btn_copy->toolTip(), QString());
    QVERIFY(!form->Inet1.still_executing()); // no CLOSE started either

    edit->setText(good);
    form->btn_copy->click();
    QCOMPARE(form->windowTitle(), u"O.K."_s);
    QCOMPARE(server.events_starting_with(u"CONNECT"_s).size(), 1);
    for (const QString& event : server.events())
        QVERIFY2(!event.contains(u"DELE"_s), qPrintable(event));
}

void test_upload_page::texts_read_after_the_first_wait() {
    ftp_server server({u"--throttle"_s, u"50000"_s});
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"alt"_s) && QDir(server.home()).mkpath(u"neu"_s));
    const QByteArray old_content = awkward_content(page_size);
    const QByteArray new_content = awkward_content(page_size + 1);
    QVERIFY(write_file(local_path(u"alt/alt.php"_s), old_content));
    QVERIFY(write_file(local_path(u"neu/neu.php"_s), new_content));
    QVERIFY(write_file(local_path(u"gross.bin"_s), awkward_content(150000)));

    const auto form = window_for(server.url());
    form->txt_localdir->setText(local_path(u"alt/"_s));
    form->txt_ftpdir->setText(u"/alt/"_s);
    form->txt_page->setText(u"alt.php"_s);
    // A command still running when the upload starts, as the CLOSE of an earlier one can be.
    transfer_component& inet = form->Inet1;
    inet.set_url(server.url());
    inet.set_user_name(ftp_server::user());
    inet.set_password(ftp_server::password());
    inet.execute(std::nullopt, u"PUT "_s + local_path(u"gross.bin"_s) + u" gross.bin"_s);
    int finished = 0;
    connect(&inet, &transfer_component::command_finished, this, [&finished] { ++finished; });

    bool changed_in_first_wait = false;
    QTimer::singleShot(0, form.get(), [&] {
        changed_in_first_wait = finished == 0 && form->windowTitle() == u"FTP - Server";
        form->txt_localdir->setText(local_path(u"neu/"_s));
        form->txt_ftpdir->setText(u"/neu/"_s);
        form->txt_page->setText(u"neu.php"_s);
        // Already handed to the component: no effect on this upload.
        form->txt_ftp_password->setText(u"falsch"_s);
        form->txt_ftp_server->setText(u"ftp://127.0.0.1:%1"_s.arg(closed_port()));
    });
    form->btn_copy->click();

    QVERIFY(changed_in_first_wait);
    QCOMPARE(form->windowTitle(), u"O.K."_s);
    QCOMPARE(file_content(server.home() + u"/neu/neu.php"_s), new_content);
    QVERIFY(!QFileInfo::exists(server.home() + u"/alt/alt.php"_s));
}

void test_upload_page::requests_wait_their_turn_data() {
    QTest::addColumn<QString>("way"); // of the second request
    QTest::addColumn<QString>("second_password");
    QTest::addColumn<bool>("second_succeeds");
    QTest::addColumn<int>("stored");

    // "publish" asks as --publish does; "files" as --publish FILE and a watched save do.
    for (const QString& way : {u"click"_s, u"publish"_s, u"files"_s}) {
        QTest::addRow("%s, same settings", qPrintable(way))
            << way << ftp_server::password() << true << 2;
        QTest::addRow("%s, a wrong password", qPrintable(way)) << way << u"falsch"_s << false << 1;
    }
}

// A request that comes while a PUT runs starts only after it, and each is told its own outcome.
void test_upload_page::requests_wait_their_turn() {
    QFETCH(QString, way);
    QFETCH(QString, second_password);
    QFETCH(bool, second_succeeds);
    QFETCH(int, stored);

    ftp_server server({u"--throttle"_s, u"50000"_s});
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"www"_s));
    const QByteArray content = awkward_content(150000);
    QVERIFY(write_file(local_path(u"Internet/aktuell_home.php"_s), content));
    const auto form = window_for(server.url());
    QList<bool> shown; // every outcome, as the title and the notification show it
    connect(form.get(), &Form1::published, this,
            [&shown](bool ok, const QString&) { shown << ok; });
    QStringList told; // what each asker heard
    const auto asker = [&told](const QString& who) {
        return [&told, who](bool ok, const QString&) {
            told << who + (ok ? u" O.K."_s : u" Fehler"_s);
        };
    };

    bool second_waited = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!form->Inet1.still_executing())
            return;
        poll.stop();
        form->txt_ftp_password->setText(second_password);
        if (way == u"click")
            form->btn_copy->click();
        else if (way == u"publish")
            form->publish(asker(u"second"_s));
        else
            form->publish_files(
                {site_file{local_path(u"Internet/aktuell_home.php"_s), u"aktuell_home.php"_s}},
                asker(u"second"_s));
        second_waited = form->windowTitle() == u"FTP - Server" && form->Inet1.still_executing();
    });
    poll.start(10);
    form->publish(asker(u"first"_s));

    QVERIFY(second_waited);
    QCOMPARE(told, QStringList{u"first O.K."_s});
    QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, idle_timeout_ms);
    QCOMPARE(shown, (QList<bool>{true, second_succeeds}));
    if (way != u"click")
        QCOMPARE(told.last(), second_succeeds ? u"second O.K."_s : u"second Fehler"_s);
    QCOMPARE(form->windowTitle(), second_succeeds ? u"O.K."_s : u"Fehler"_s);
    QCOMPARE(failures, QStringList());
    QCOMPARE(file_content(server.home() + u"/www/aktuell_home.php"_s), content);
    QCOMPARE(server.events_starting_with(u"STORED"_s).size(), stored);
    QTRY_VERIFY_WITH_TIMEOUT(!form->Inet1.still_executing(), idle_timeout_ms);
}

// The waits sleep in the event loop: a long upload costs next to no processor time.
void test_upload_page::cpu_time_of_a_long_upload() {
    ftp_server server({u"--throttle"_s, u"100000"_s}); // about 150 kB/s in practice
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(u"www"_s));
    const QByteArray content = awkward_content(1'500'000);
    QVERIFY(write_file(local_path(u"Internet/aktuell_home.php"_s), content));
    const auto form = window_for(server.url());

    QElapsedTimer clock;
    clock.start();
    const double cpu_before = cpu_seconds();
    form->btn_copy->click();
    const double cpu = cpu_seconds() - cpu_before;
    const double wall = static_cast<double>(clock.elapsed()) / 1000.0;
    qInfo("upload of %lld bytes took %.1f s and %.3f s of CPU time",
          static_cast<long long>(content.size()), wall, cpu);

    QCOMPARE(form->windowTitle(), u"O.K."_s);
    QCOMPARE(file_content(server.home() + u"/www/aktuell_home.php"_s), content);
    QVERIFY2(wall > 5.0, "the upload was too short to measure the waits");
    QVERIFY2(cpu < 0.5, qPrintable(QString::number(cpu)));
}

QTEST_MAIN(test_upload_page)
#include "test_upload_page.moc"
