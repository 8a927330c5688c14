#include "failure_path.h"
#include "form1.h"
#include "ftp_server_fixture.h"
#include "outcome_notification.h"
#include "user_language.h"

#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <curl/curl.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString bus_name = u"private_session_bus"_s;

// Whether a whole line came within the bound; a line may come in pieces.
bool has_line(QProcess& process) {
    const QDeadlineTimer deadline(10000);
    while (!process.canReadLine())
        if (!process.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    return true;
}

// tests/notification_service.py on the private bus: what the program sent, one object per
// Notify call.
class stand_in_service final {
public:
    stand_in_service(const QString& address, const QStringList& options) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"/usr/bin/python3"_s,
                      QStringList{QStringLiteral(NOTIFICATION_SERVICE)} + options);
        ready = has_line(process) && process.readLine() == "READY\n";
    }
    ~stand_in_service() {
        process.closeWriteChannel(); // it ends when its stdin closes
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // The next Notify call, or an empty object when none came within the bound. The event loop
    // runs meanwhile: it carries the program's calls.
    QJsonObject next_notification() {
        const QDeadlineTimer deadline(10000);
        while (!process.canReadLine() && !deadline.hasExpired())
            QSignalSpy(&process, &QProcess::readyReadStandardOutput)
                .wait(int(deadline.remainingTime()));
        return QJsonDocument::fromJson(process.readLine()).object();
    }
    void invoke(qint64 id, const QString& key) {
        process.write(u"invoke %1 %2\n"_s.arg(id).arg(key).toUtf8());
    }

    bool ready = false;

private:
    QProcess process;
};

} // namespace

class test_outcome_notification final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void notification_of_an_outcome_data();
    void notification_of_an_outcome();
    void failure_is_told_before_its_message();
    void activation_token_waits_for_the_transfer();
    void unanswered_service_costs_no_time_data();
    void unanswered_service_costs_no_time();

private:
    // A window that publishes a page to `server` and notifies on the private bus.
    std::unique_ptr<Form1> window_for(const ftp_server& server, const QString& password);

    QProcess bus;
    QString bus_address;
    QTemporaryDir local;
    QTemporaryDir settings;
};

void test_outcome_notification::initTestCase() {
    install_translations();
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    bus.start(u"dbus-daemon"_s,
              {u"--session"_s, u"--nofork"_s, u"--nopidfile"_s, u"--print-address=1"_s});
    QVERIFY(has_line(bus));
    bus_address = QString::fromUtf8(bus.readLine().trimmed());
    QVERIFY(QDBusConnection::connectToBus(bus_address, bus_name).isConnected());
    QVERIFY(write_file(local.path() + u"/aktuell_home.php"_s, awkward_content(1000)));
}

void test_outcome_notification::cleanupTestCase() {
    QDBusConnection::disconnectFromBus(bus_name);
    bus.terminate();
    QVERIFY(bus.waitForFinished(5000));
    curl_global_cleanup();
}

std::unique_ptr<Form1> test_outcome_notification::window_for(const ftp_server& server,
                                                             const QString& password) {
    auto form = std::make_unique<Form1>(settings.path());
    form->txt_ftp_server->setText(server.url());
    form->txt_ftp_user->setText(ftp_server::user());
    form->txt_ftp_password->setText(password);
    form->txt_localdir->setText(local.path() + u'/');
    form->txt_ftpdir->setText(u"/"_s);
    form->txt_page->setText(u"aktuell_home.php"_s);
    auto* notification = new outcome_notification(form.get(), QDBusConnection(bus_name));
    notification->setParent(form.get());
    connect(form.get(), &Form1::published, notification, &outcome_notification::show);
    form->show();
    return form;
}

void test_outcome_notification::notification_of_an_outcome_data() {
    QTest::addColumn<QStringList>("service_options");
    QTest::addColumn<QStringList>("server_args");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("body"); // part of it
    QTest::addColumn<int>("urgency");

    const QString password = ftp_server::password();
    const QStringList echoing{u"--reply"_s, u"PASS"_s, u"530 Passwort {arg} falsch"_s};
    const QStringList markup{u"--reply-on-stor"_s, u"553 <b>nein</b> & <i>x</i>"_s};
    QTest::newRow("success") << QStringList() << QStringList() << password << u"O.K."_s
                             << u"erfolgreich"_s << 0;
    QTest::newRow("refused login, the password echoed")
        << QStringList() << echoing << u"falsch 42"_s << u"Fehler"_s
        << u"530 Passwort **** falsch"_s << 1;
    QTest::newRow("markup, to a service that reads it")
        << QStringList{u"--markup"_s} << markup << password << u"Fehler"_s
        << u"553 &lt;b&gt;nein&lt;/b&gt; &amp; &lt;i&gt;x&lt;/i&gt;"_s << 1;
    QTest::newRow("markup, to a service that shows text")
        << QStringList() << markup << password << u"Fehler"_s << u"553 <b>nein</b> & <i>x</i>"_s
        << 1;
}

void test_outcome_notification::notification_of_an_outcome() {
    QFETCH(QStringList, service_options);
    QFETCH(QStringList, server_args);
    QFETCH(QString, password);
    QFETCH(QString, summary);
    QFETCH(QString, body);
    QFETCH(int, urgency);

    stand_in_service service(bus_address, service_options);
    QVERIFY(service.ready);
    ftp_server server(server_args);
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const auto form = window_for(server, password);

    // Twice: the second replaces the first. Then the default action of "Fehler".
    qint64 previous_id = 0;
    for (int round = 0; round < 2; ++round) {
        form->btn_copy->click();
        QCOMPARE(form->windowTitle(), summary);
        const QJsonObject shown = service.next_notification();
        QCOMPARE(shown[u"summary"].toString(), summary);
        QVERIFY2(shown[u"body"].toString().contains(body), qPrintable(shown[u"body"].toString()));
        QVERIFY(!shown[u"body"].toString().contains(password));
        QCOMPARE(shown[u"hints"][u"urgency"].toInt(), urgency);
        QCOMPARE(shown[u"hint_types"][u"urgency"].toString(), u"Byte"_s);
        QCOMPARE(shown[u"hints"][u"desktop-entry"].toString(), QStringLiteral(APP_ID));
        QCOMPARE(shown[u"app_icon"].toString(), QStringLiteral(APP_ID));
        QCOMPARE(shown[u"app_name"].toString(), u"FTP Publisher"_s);
        // "O.K." goes by itself, "Fehler" stays until dismissed and offers the window.
        QCOMPARE(shown[u"expire_timeout"].toInt() > 0, urgency == 0);
        QCOMPARE(shown[u"actions"].toArray().contains(u"default"_s), urgency == 1);
        QCOMPARE(shown[u"replaces_id"].toInteger(), previous_id);
        previous_id = shown[u"id"].toInteger();
    }
    if (urgency == 1) { // a click on the failure's notification
        QVERIFY(form->isMinimized());
        service.invoke(previous_id, u"default"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!form->isMinimized(), 10000);
        // Handed on for Wayland, where Qt takes it (offscreen leaves it).
        QCOMPARE(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"), u"token-%1"_s.arg(previous_id));
        qunsetenv("XDG_ACTIVATION_TOKEN");
    }
}

// A failure that stops the upload reaches whoever asked before its message box, which waits for
// the user, and the notification says "Fehler" too.
void test_outcome_notification::failure_is_told_before_its_message() {
    stand_in_service service(bus_address, {});
    QVERIFY(service.ready);
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const auto form = window_for(server, ftp_server::password());
    form->txt_ftp_user->setText(u"publisher\r\nDELE x"_s);
    QStringList heard;
    const failure_sink previous = set_failure_sink(
        [&heard](QWidget*, const QString& text) { heard << u"message: "_s + text; });
    form->publish([&heard](bool succeeded, const QString& reason) {
        heard << (succeeded ? u"O.K.: "_s : u"Fehler: "_s) + reason;
    });
    set_failure_sink(previous);

    QCOMPARE(heard.size(), 2);
    QVERIFY2(heard[0].startsWith(u"Fehler: "_s) && heard[0].contains(u"control character"_s),
             qPrintable(heard[0]));
    QVERIFY2(heard[1].startsWith(u"message: "_s), qPrintable(heard[1]));
    QCOMPARE(service.next_notification()[u"summary"].toString(), u"Fehler"_s);
}

// The token reaches Qt through the environment, which the transfer's thread reads meanwhile:
// the window comes back at once, the token once no command runs.
void test_outcome_notification::activation_token_waits_for_the_transfer() {
    stand_in_service service(bus_address, {});
    QVERIFY(service.ready);
    ftp_server silent({u"--silent"_s});
    QVERIFY2(silent.started(), qPrintable(silent.start_error()));
    QWidget window;
    transfer_component inet(short_limits(std::chrono::seconds(3)));
    outcome_notification notification(&window, QDBusConnection(bus_name), &inet);
    notification.show(false, u"550 nein"_s);
    const qint64 id = service.next_notification()[u"id"].toInteger();
    window.showMinimized();

    configure(inet, silent);
    inet.execute(std::nullopt, u"PUT "_s + local.path() + u"/aktuell_home.php /a.php"_s);
    service.invoke(id, u"default"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isMinimized(), 10000);
    QVERIFY(inet.still_executing());
    QVERIFY(qEnvironmentVariable("XDG_ACTIVATION_TOKEN").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), 20000);
    QCOMPARE(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"), u"token-%1"_s.arg(id));
    qunsetenv("XDG_ACTIVATION_TOKEN");
}

void test_outcome_notification::unanswered_service_costs_no_time_data() {
    QTest::addColumn<QStringList>("service_options"); // empty: no service at all

    QTest::newRow("no service on the bus") << QStringList();
    QTest::newRow("a service that never answers") << QStringList{u"--hang"_s};
}

// The outcomes of ten quick uploads: nothing waits for the service.
void test_outcome_notification::unanswered_service_costs_no_time() {
    QFETCH(QStringList, service_options);

    std::unique_ptr<stand_in_service> service;
    if (!service_options.isEmpty()) {
        service = std::make_unique<stand_in_service>(bus_address, service_options);
        QVERIFY(service->ready);
    }
    QWidget window;
    outcome_notification notification(&window, QDBusConnection(bus_name));
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < 10; ++round) {
        notification.show(false, u"550 nein"_s);
        QCoreApplication::processEvents();
    }
    QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
    if (service)
        QCOMPARE(service->next_notification()[u"summary"].toString(), u"Fehler"_s);
}

QTEST_MAIN(test_outcome_notification)
#include "test_outcome_notification.moc"
