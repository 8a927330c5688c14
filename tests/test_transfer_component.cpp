#include "data_connection_drain.h"
#include "ftp_server_fixture.h"
#include "transfer_component.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int idle_timeout_ms = 20000;
constexpr qsizetype page_size = 70000; // more than one read of libcurl and pyftpdlib

QString success_text(qsizetype bytes) {
    return u"%1 bytes uploaded and verified (erfolgreich)"_s.arg(bytes);
}

} // namespace

class test_transfer_component final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void fixed_settings_data();
    void fixed_settings();
    void put_data();
    void put();
    void server_url_data();
    void server_url();
    void refused_data();
    void refused();
    void close_ends_the_connection();
    void failure_says_whether_it_may_pass_data();
    void failure_says_whether_it_may_pass();
    void commands_run_in_order_with_their_own_settings();
    void destruction_aborts_a_running_upload();
    void drain_ends_in_order_and_in_bounds_data();
    void drain_ends_in_order_and_in_bounds();

private:
    QString local_file(const QString& name, const QByteArray& content);

    std::unique_ptr<QTemporaryDir> local;
};

void test_transfer_component::initTestCase() {
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
}

void test_transfer_component::cleanupTestCase() {
    curl_global_cleanup();
}

void test_transfer_component::init() {
    local = std::make_unique<QTemporaryDir>();
    QVERIFY(local->isValid());
}

QString test_transfer_component::local_file(const QString& name, const QByteArray& content) {
    const QString path = local->filePath(name);
    return write_file(path, content) ? path : QString();
}

void test_transfer_component::fixed_settings_data() {
    QTest::addColumn<int>("access_type");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("refusal"); // empty: accepted

    QTest::newRow("the values the upload uses") << 0 << 2 << QString();
    QTest::newRow("another access type") << 1 << 2 << u"access type 1"_s;
    QTest::newRow("a negative access type") << -1 << 2 << u"access type -1"_s;
    QTest::newRow("no protocol") << 0 << 0 << u"protocol 0"_s;
    QTest::newRow("another protocol") << 0 << 1 << u"protocol 1"_s;
}

void test_transfer_component::fixed_settings() {
    QFETCH(int, access_type);
    QFETCH(int, protocol);
    QFETCH(QString, refusal);

    transfer_component inet;
    QString what;
    try {
        inet.set_access_type(access_type);
        inet.set_protocol(protocol);
    } catch (const transfer_refused& e) {
        what = QString::fromUtf8(e.what());
    }
    if (refusal.isEmpty())
        QCOMPARE(what, QString());
    else
        QVERIFY2(what.contains(refusal) && what.contains(u"not supported"_s), qPrintable(what));
    QVERIFY(!inet.still_executing());
}

void test_transfer_component::put_data() {
    QTest::addColumn<QString>("local_path"); // under the local temporary directory
    QTest::addColumn<QString>("remote");     // as the command names it
    QTest::addColumn<QString>("stored");     // where it must land, under the server's home
    QTest::addColumn<bool>("absolute");

    QTest::newRow("absolute remote path")
        << u"Internet/aktuell_home.php"_s << u"/www/aktuell_home.php"_s << u"www/aktuell_home.php"_s
        << true;
    QTest::newRow("relative remote path")
        << u"Internet/aktuell_home.php"_s << u"www/aktuell_home.php"_s << u"www/aktuell_home.php"_s
        << false;
    QTest::newRow("the login directory")
        << u"index.php"_s << u"index.php"_s << u"index.php"_s << false;
    // The directory "lokal" exists too: only a regular file ends the local part.
    QTest::newRow("blanks in directories and page")
        << u"lokal dir/a b.php"_s << u"/ziel dir/a b.php"_s << u"ziel dir/a b.php"_s << true;
    QTest::newRow("percent, hash and question mark")
        << u"100% #1?.php"_s << u"/www/100% #1?.php"_s << u"www/100% #1?.php"_s << true;
    QTest::newRow("something that looks percent-encoded")
        << u"%41%2F.php"_s << u"www/%41%2F.php"_s << u"www/%41%2F.php"_s << false;
    QTest::newRow("non-ASCII") << u"Übersicht ä.php"_s << u"/www/Übersicht ä.php"_s
                               << u"www/Übersicht ä.php"_s << true;
}

void test_transfer_component::put() {
    QFETCH(QString, local_path);
    QFETCH(QString, remote);
    QFETCH(QString, stored);
    QFETCH(bool, absolute);

    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    QVERIFY(QDir(server.home()).mkpath(QFileInfo(server.home() + u'/' + stored).path()));
    QVERIFY(QDir(local->path()).mkpath(u"lokal"_s));
    const QByteArray content = awkward_content(page_size);
    const QString file = local_file(local_path, content);
    QVERIFY(!file.isEmpty());

    transfer_component inet(short_limits());
    configure(inet, server);
    inet.execute(std::nullopt, u"PUT "_s + file + u' ' + remote);
    QVERIFY(inet.still_executing());
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);

    QCOMPARE(inet.response_text(), success_text(page_size));
    QCOMPARE(file_content(server.home() + u'/' + stored), content);
    QCOMPARE(server.events().contains(u"COMMAND TYPE I"_s), true);
    // The whole path in each command, no CWD: absolute paths start with "/".
    const QStringList stores = server.events_starting_with(u"COMMAND STOR "_s);
    QVERIFY(!stores.isEmpty());
    QCOMPARE(stores.first().startsWith(u"COMMAND STOR /"_s), absolute);
    QVERIFY(server.events_starting_with(u"COMMAND CWD"_s).isEmpty());
}

void test_transfer_component::server_url_data() {
    // %1 stands for the server's port, %2 for a port where nothing listens.
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("port_setting"); // -1: the server's port
    QTest::addColumn<QString>("url_argument");
    QTest::addColumn<QString>("failure"); // empty: the upload succeeds

    QTest::newRow("port in the URL wins")
        << u"ftp://127.0.0.1:%1"_s << 21 << QString() << QString();
    QTest::newRow("port setting") << u"ftp://127.0.0.1"_s << -1 << QString() << QString();
    QTest::newRow("port setting, trailing slash")
        << u"ftp://127.0.0.1/"_s << -1 << QString() << QString();
    QTest::newRow("port in the URL, trailing slash")
        << u"ftp://127.0.0.1:%1/"_s << 21 << QString() << QString();
    QTest::newRow("scheme in capitals") << u"FTP://127.0.0.1:%1"_s << 21 << QString() << QString();
    QTest::newRow("URL argument replaces the setting")
        << u"ftp://127.0.0.1:%2"_s << 21 << u"ftp://127.0.0.1:%1"_s << QString();
    QTest::newRow("another protocol")
        << u"http://127.0.0.1:%1"_s << 21 << QString() << u"must start with ftp://"_s;
    QTest::newRow("file URL") << u"file:///etc/passwd"_s << 21 << QString()
                              << u"must start with ftp://"_s;
    QTest::newRow("credentials in the URL")
        << u"ftp://publisher:x@127.0.0.1:%1"_s << 21 << QString() << u"user name or password"_s;
    QTest::newRow("empty user name in the URL")
        << u"ftp://@127.0.0.1:%1"_s << 21 << QString() << u"user name or password"_s;
    QTest::newRow("path in the URL")
        << u"ftp://127.0.0.1:%1/www"_s << 21 << QString() << u"only the host and port"_s;
    QTest::newRow("no scheme") << u"127.0.0.1:%1"_s << 21 << QString() << u"not usable"_s;
}

void test_transfer_component::server_url() {
    QFETCH(QString, url);
    QFETCH(int, port_setting);
    QFETCH(QString, url_argument);
    QFETCH(QString, failure);

    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const quint16 unused_port = closed_port();
    const QString file = local_file(u"seite.php"_s, awkward_content(page_size));

    transfer_component inet(short_limits());
    configure(inet, server);
    const auto with_ports = [&](QString text) {
        return text.replace(u"%1"_s, QString::number(server.port()))
            .replace(u"%2"_s, QString::number(unused_port));
    };
    inet.set_url(with_ports(url));
    // The setting is 16 bits wide: ports over 32767 arrive as negative numbers.
    inet.set_remote_port(
        static_cast<std::int16_t>(port_setting < 0 ? server.port() : port_setting));
    std::optional<QString> given;
    if (!url_argument.isEmpty())
        given = with_ports(url_argument);
    inet.execute(given, u"PUT "_s + file + u" seite.php"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);

    if (failure.isEmpty()) {
        QCOMPARE(inet.response_text(), success_text(page_size));
        QCOMPARE(file_content(server.home() + u"/seite.php"_s), awkward_content(page_size));
    } else {
        QVERIFY2(inet.response_text().contains(failure), qPrintable(inet.response_text()));
        QVERIFY(!inet.response_text().contains(u"erfolgreich"_s));
        QVERIFY(server.events_starting_with(u"CONNECT"_s).isEmpty());
    }
}

void test_transfer_component::refused_data() {
    // %1 stands for the server's port, %L for an existing local file.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("text");

    QTest::newRow("CR LF in the user name") << u"user"_s << u"publisher\r\nDELE x"_s;
    QTest::newRow("tab in the user name") << u"user"_s << u"pub\tlisher"_s;
    QTest::newRow("LF in the password") << u"password"_s << u"geheim\nDELE x"_s;
    QTest::newRow("NUL in the password") << u"password"_s << QString(u"geheim\0DELE x"_s);
    QTest::newRow("LF in the server URL") << u"url"_s << u"ftp://127.0.0.1:%1\nDELE x"_s;
    QTest::newRow("CR LF in the remote path") << u"command"_s << u"PUT %L /www/a.php\r\nDELE x"_s;
    QTest::newRow("NUL in the remote path") << u"command"_s << QString(u"PUT %L a\0.php"_s);
    QTest::newRow("LF in the URL argument")
        << u"url argument"_s << u"ftp://127.0.0.1:%1/\nDELE x"_s;
    QTest::newRow("another command") << u"command"_s << u"DELE x"_s;
    QTest::newRow("PUT in lower case") << u"command"_s << u"put %L a.php"_s;
}

void test_transfer_component::refused() {
    QFETCH(QString, target);
    QFETCH(QString, text);

    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const QString file = local_file(u"seite.php"_s, awkward_content(page_size));
    text = text.replace(u"%1"_s, QString::number(server.port())).replace(u"%L"_s, file);

    transfer_component inet(short_limits());
    configure(inet, server);
    QString what;
    try {
        if (target == u"user")
            inet.set_user_name(text);
        else if (target == u"password")
            inet.set_password(text);
        else if (target == u"url")
            inet.set_url(text);
        else if (target == u"url argument")
            inet.execute(text, u"PUT "_s + file + u" seite.php"_s);
        else
            inet.execute(std::nullopt, text);
    } catch (const transfer_refused& e) {
        what = QString::fromUtf8(e.what());
    }
    QVERIFY2(what.contains(u"refused"_s) || what.contains(u"only PUT and CLOSE"_s),
             qPrintable(what));
    QVERIFY(!what.contains(u"geheim"_s));
    QVERIFY(!inet.still_executing());

    // The refused value changed nothing: the next upload logs in with the earlier settings,
    // and its connection is the only one the server saw.
    inet.execute(std::nullopt, u"PUT "_s + file + u" seite.php"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);
    QCOMPARE(inet.response_text(), success_text(page_size));
    QCOMPARE(server.events_starting_with(u"CONNECT"_s).size(), 1);
    QCOMPARE(server.events_starting_with(u"COMMAND USER"_s),
             QStringList{u"COMMAND USER "_s + ftp_server::user()});
    for (const QString& event : server.events())
        QVERIFY2(!event.contains(u"DELE"_s), qPrintable(event));
}

void test_transfer_component::failure_says_whether_it_may_pass_data() {
    QTest::addColumn<bool>("server");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("file_there");
    QTest::addColumn<bool>("may_pass");

    const QString right = ftp_server::password();
    QTest::newRow("server away") << false << QStringList() << right << true << true;
    QTest::newRow("no room (452)")
        << true << QStringList{u"--reply-on-stor"_s, u"452 Full."_s} << right << true << true;
    // Asked again, the host would refuse again, and may lock the account out.
    QTest::newRow("login refused (530)") << true << QStringList() << u"falsch"_s << true << false;
    QTest::newRow("refused for good (553)")
        << true << QStringList{u"--reply-on-stor"_s, u"553 Never."_s} << right << true << false;
    QTest::newRow("local file missing") << true << QStringList() << right << false << false;
}

// What a watch needs to know to try a failed save again by itself, or not.
void test_transfer_component::failure_says_whether_it_may_pass() {
    QFETCH(bool, server);
    QFETCH(QStringList, faults);
    QFETCH(QString, password);
    QFETCH(bool, file_there);
    QFETCH(bool, may_pass);

    std::unique_ptr<ftp_server> ftp;
    QString url = u"ftp://127.0.0.1:%1"_s.arg(closed_port());
    if (server) {
        ftp = std::make_unique<ftp_server>(faults);
        QVERIFY2(ftp->started(), qPrintable(ftp->start_error()));
        QVERIFY(QDir(ftp->home()).mkpath(u"www"_s));
        url = ftp->url();
    }
    const QString file = file_there ? local_file(u"seite.php"_s, awkward_content(1000))
                                    : local->path() + u"/fehlt.php"_s;
    transfer_component inet(short_limits());
    configure(inet, url, ftp_server::user(), password);
    const QString response = put_and_close(inet, file + u" /www/seite.php"_s);
    QVERIFY2(!response.contains(u"erfolgreich"_s), qPrintable(response));
    QCOMPARE(inet.failure_may_pass(), may_pass);
}

void test_transfer_component::close_ends_the_connection() {
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const QString file = local_file(u"seite.php"_s, awkward_content(page_size));
    transfer_component inet(short_limits());
    configure(inet, server);

    inet.execute(std::nullopt, u"CLOSE"_s); // nothing open yet
    QVERIFY(inet.still_executing());
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), 2000);
    QCOMPARE(inet.response_text(), QString());

    inet.execute(std::nullopt, u"PUT "_s + file + u" seite.php"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);
    const QString response = inet.response_text();
    QCOMPARE(response, success_text(page_size));
    QVERIFY(!server.events().contains(u"COMMAND QUIT"_s)); // the PUT keeps it open

    inet.execute(std::nullopt, u"CLOSE"_s);
    QVERIFY(inet.still_executing());
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);
    QVERIFY(server.wait_for_event(u"COMMAND QUIT"_s));
    QCOMPARE(inet.response_text(), response); // still the PUT's

    // A PUT after CLOSE logs in afresh.
    inet.execute(std::nullopt, u"PUT "_s + file + u" zwei.php"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);
    QCOMPARE(inet.response_text(), success_text(page_size));
    QCOMPARE(server.events_starting_with(u"CONNECT"_s).size(), 2);
}

void test_transfer_component::commands_run_in_order_with_their_own_settings() {
    ftp_server server;
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    transfer_component inet(short_limits());
    configure(inet, server);
    QStringList responses;
    QList<bool> busy;
    connect(&inet, &transfer_component::command_finished, this, [&] {
        responses.append(inet.response_text());
        busy.append(inet.still_executing());
    });

    const QByteArray content = awkward_content(page_size);
    inet.execute(std::nullopt, u"PUT "_s + local_file(u"a.php"_s, content) + u" a.php"_s);
    inet.set_password(u"falsch"_s); // for the next command only
    inet.execute(std::nullopt, u"PUT "_s + local_file(u"b.php"_s, content) + u" b.php"_s);
    inet.execute(std::nullopt, u"CLOSE"_s);
    inet.set_password(ftp_server::password());
    inet.execute(std::nullopt, u"PUT "_s + local_file(u"c.php"_s, content) + u" c.php"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!inet.still_executing(), idle_timeout_ms);

    QCOMPARE(responses.size(), 4);
    QCOMPARE(busy, (QList<bool>{true, true, true, false}));
    QCOMPARE(responses[0], success_text(page_size));
    QVERIFY2(responses[1].contains(u"530"_s), qPrintable(responses[1]));
    QCOMPARE(responses[2], responses[1]);
    QCOMPARE(responses[3], success_text(page_size));
    QCOMPARE(QDir(server.home()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{u"a.php"_s, u"c.php"_s}));
}

void test_transfer_component::destruction_aborts_a_running_upload() {
    ftp_server server({u"--throttle"_s, u"20000"_s});
    QVERIFY2(server.started(), qPrintable(server.start_error()));
    const QString file = local_file(u"gross.bin"_s, awkward_content(2'000'000));
    auto inet = std::make_unique<transfer_component>();
    configure(*inet, server);
    inet->execute(std::nullopt, u"PUT "_s + file + u" gross.bin"_s);
    // Stored under a temporary name until complete.
    const auto stored = [&server] {
        return QDir(server.home()).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!stored().isEmpty() && stored().first().size() > 0,
                             idle_timeout_ms); // data is flowing

    QElapsedTimer clock;
    clock.start();
    inet.reset(); // without the abort this waits for the whole upload or the reply timeout
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(stored().size(), 0); // the half-written file went with the component
}

void test_transfer_component::drain_ends_in_order_and_in_bounds_data() {
    QTest::addColumn<bool>("peer_closes"); // after sending what a TLS server still had to say
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<int>("min_ms");
    QTest::addColumn<int>("max_ms");

    // The bound is 1000 ms here.
    QTest::newRow("the server closes its side") << true << false << 0 << 500;
    QTest::newRow("the server never closes") << false << false << 950 << 3000;
    QTest::newRow("an upload being aborted") << false << true << 0 << 200;
}

// Our side ends first (the server reads an end, not a reset), and a server that keeps its side
// open costs the bound, no more.
void test_transfer_component::drain_ends_in_order_and_in_bounds() {
    QFETCH(bool, peer_closes);
    QFETCH(bool, stopping);
    QFETCH(int, min_ms);
    QFETCH(int, max_ms);

    int ends[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    QCOMPARE(::write(ends[1], "ticket", 6), ssize_t(6));
    if (peer_closes)
        ::shutdown(ends[1], SHUT_WR);
    const std::atomic_bool stop{stopping};
    QElapsedTimer clock;
    clock.start();
    drain_socket(ends[0], stop, std::chrono::milliseconds(1000));
    const qint64 took = clock.elapsed();
    char byte = 0;
    const ssize_t peer_read = ::read(ends[1], &byte, 1);
    ::close(ends[0]);
    ::close(ends[1]);

    QVERIFY2(took >= min_ms && took <= max_ms, qPrintable(QString::number(took)));
    QCOMPARE(peer_read, ssize_t(0)); // our end of stream
}

QTEST_GUILESS_MAIN(test_transfer_component)
#include "test_transfer_component.moc"
