#include "ftp_server_fixture.h"
#include "secure_servers.h"
#include "sftp_directory.h"
#include "sftp_write_flight.h"
#include "tcp_connect.h"
#include "transfer_component.h"
#include "upload_page.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>
#include <arpa/inet.h>
#include <ctime>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString user = QStringLiteral("alice");
const QString password = QStringLiteral("Geheim-7x");
const QString login_dir = QStringLiteral("/home/alice");
const QString marker = QStringLiteral("erfolgreich");
const QByteArray page_bytes = awkward_content(3000);

QString read_text(const QString& path) {
    return QString::fromUtf8(file_content(path));
}

// Replies as a server sends them, without the length in front.
QByteArray status_of(std::uint32_t id, std::uint32_t code, QByteArrayView message = {}) {
    return sftp_request(SSH_FXP_STATUS, id).u32(code).string(message).string("").packet().mid(4);
}
QByteArray handle_of(std::uint32_t id) {
    return sftp_request(SSH_FXP_HANDLE, id).string("h1").packet().mid(4);
}
QByteArray size_of(std::uint32_t id, std::uint64_t size) {
    return sftp_request(SSH_FXP_ATTRS, id).u32(SSH_FILEXFER_ATTR_SIZE).u64(size).packet().mid(4);
}

bool port_in_use(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return connected;
}

} // namespace

class test_secure_connections final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void connect_leaves_time_for_the_next_address();
    void tls_upload_data();
    void tls_upload();
    void tls_certificate_refused_data();
    void tls_certificate_refused();
    void tls_to_server_without_tls_sends_no_password_data();
    void tls_to_server_without_tls_sends_no_password();
    void sftp_upload_data();
    void sftp_upload();
    void sftp_replies_to_writes_in_flight_data();
    void sftp_replies_to_writes_in_flight();
    void sftp_wrong_password();
    void sftp_stalled_request_ends_within_limits_data();
    void sftp_stalled_request_ends_within_limits();
    void sftp_replaces_without_one_step_rename_data();
    void sftp_replaces_without_one_step_rename();
    void sftp_new_host_key_recorded_data();
    void sftp_new_host_key_recorded();
    void sftp_changed_host_key_refused();
    void sftp_login_without_password_data();
    void sftp_login_without_password();
    void sftp_create_folders_data();
    void sftp_create_folders();
    void unknown_scheme_refused_data();
    void unknown_scheme_refused();
    void standard_ports_data();
    void standard_ports();
    void silent_server_ends_within_limits_data();
    void silent_server_ends_within_limits();
    void title_through_upload_page_data();
    void title_through_upload_page();

private:
    void start_proftpd(const QString& mode, const QString& certificate);
    void start_sftp(const QString& host_key_file = {}, const QStringList& options = {});
    QString upload(const QString& url, quint16 port_setting, const QString& remote,
                   const QString& pass = password, const QString& login = user);
    bool nothing_stored() const;
    QString path(const QString& name) const { return certs.filePath(name); }

    QTemporaryDir certs;
    std::unique_ptr<QTemporaryDir> root, local;
    std::unique_ptr<secure_server> server;
    std::unique_ptr<transfer_component> inet;
    transfer_options options;
    QString local_file;
};

void test_secure_connections::initTestCase() {
    QVERIFY(certs.isValid());
    QString error;
    QVERIFY2(make_certificates(certs.path(), &error), qPrintable(error));
}

void test_secure_connections::init() {
    server.reset();
    inet.reset();
    root = std::make_unique<QTemporaryDir>();
    local = std::make_unique<QTemporaryDir>();
    // Both places must exist before a server starts: absolute and home-relative "www".
    QVERIFY(QDir(root->path()).mkpath(QStringLiteral("www")));
    QVERIFY(QDir(root->path()).mkpath(login_dir.mid(1) + QStringLiteral("/www")));
    local_file = local->filePath(QStringLiteral("page.php"));
    QVERIFY(write_file(local_file, page_bytes));
    options = short_limits(10s);
    options.extra_ca_file = path(QStringLiteral("ca.pem"));
    options.known_hosts_file = local->filePath(QStringLiteral("known_hosts"));
}

void test_secure_connections::start_proftpd(const QString& mode, const QString& certificate) {
    if (::geteuid() != 0)
        QSKIP("ProFTPD confines its user with chroot, which needs root");
    QString error;
    server = secure_server::start(
        {QStringLiteral("proftpd"), QStringLiteral("--tls"), mode, QStringLiteral("--cert"),
         path(certificate + QStringLiteral(".pem")), QStringLiteral("--key"),
         path(certificate + QStringLiteral(".key")), root->path(), login_dir, user, password},
        &error);
    QVERIFY2(server, qPrintable(error));
}

void test_secure_connections::start_sftp(const QString& host_key_file, const QStringList& options) {
    QStringList arguments = QStringList{QStringLiteral("sftp")} + options;
    if (!host_key_file.isEmpty())
        arguments << QStringLiteral("--host-key") << host_key_file;
    QString error;
    server = secure_server::start(arguments + QStringList{root->path(), login_dir, user, password},
                                  &error);
    QVERIFY2(server, qPrintable(error));
}

// The component's whole road for one upload, as upload_page drives it; returns the response.
QString test_secure_connections::upload(const QString& url, quint16 port_setting,
                                        const QString& remote, const QString& pass,
                                        const QString& login) {
    if (!inet)
        inet = std::make_unique<transfer_component>(options);
    configure(*inet, url, login, pass, std::int16_t(port_setting));
    return put_and_close(*inet, local_file + u' ' + remote);
}

bool test_secure_connections::nothing_stored() const {
    return QDir(root->path()).entryList(QDir::Files | QDir::NoDotAndDotDot) +
               QDir(root->filePath(QStringLiteral("www"))).entryList(QDir::Files) +
               QDir(root->filePath(login_dir.mid(1) + QStringLiteral("/www")))
                   .entryList(QDir::Files) ==
           QStringList();
}

void test_secure_connections::tls_upload_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("url"); // %1: the server's port
    QTest::addColumn<bool>("port_in_setting");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("lands_at"); // below the server's root
    QTest::newRow("ftpes absolute") << "explicit"
                                    << "ftpes://127.0.0.1:%1" << false << "/www/page.php"
                                    << "www/page.php";
    QTest::newRow("ftpes relative to login") << "explicit"
                                             << "ftpes://127.0.0.1:%1/" << false << "www/page.php"
                                             << "home/alice/www/page.php";
    QTest::newRow("ftpes port from the port setting")
        << "explicit"
        << "ftpes://127.0.0.1" << true << "/www/page.php"
        << "www/page.php";
    QTest::newRow("scheme in capitals") << "explicit"
                                        << "FTPES://127.0.0.1:%1" << false << "/www/page.php"
                                        << "www/page.php";
    QTest::newRow("ftps absolute") << "implicit"
                                   << "ftps://127.0.0.1:%1" << false << "/www/page.php"
                                   << "www/page.php";
    QTest::newRow("ftps relative, blank percent hash")
        << "implicit"
        << "ftps://127.0.0.1:%1" << false << "www/a b%#1.php"
        << "home/alice/www/a b%#1.php";
}

void test_secure_connections::tls_upload() {
    QFETCH(QString, mode);
    QFETCH(QString, url);
    QFETCH(bool, port_in_setting);
    QFETCH(QString, remote);
    QFETCH(QString, lands_at);
    start_proftpd(mode, QStringLiteral("server"));
    if (!server)
        return;
    const quint16 port = server->port();
    const QString text =
        upload(url.contains(u"%1") ? url.arg(port) : url, port_in_setting ? port : 21, remote);
    QVERIFY2(text.contains(marker), qPrintable(text));
    QCOMPARE(file_content(root->filePath(lands_at)), page_bytes);
}

void test_secure_connections::tls_certificate_refused_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("test_ca_trusted");
    QTest::addColumn<QString>("reason");
    QTest::newRow("ftpes self-signed") << "explicit"
                                       << "self_signed" << true << "self-signed";
    QTest::newRow("ftps self-signed") << "implicit"
                                      << "self_signed" << true << "self-signed";
    QTest::newRow("ftpes certificate for another host") << "explicit"
                                                        << "wrong_host" << true << "host name";
    QTest::newRow("ftps certificate for another host") << "implicit"
                                                       << "wrong_host" << true << "host name";
    // The system's store alone does not know the test CA: verification is on by default.
    QTest::newRow("ftpes, test CA not handed over") << "explicit"
                                                    << "server" << false << "issuer";
}

void test_secure_connections::tls_certificate_refused() {
    QFETCH(QString, mode);
    QFETCH(QString, certificate);
    QFETCH(bool, test_ca_trusted);
    QFETCH(QString, reason);
    if (!test_ca_trusted)
        options.extra_ca_file.clear();
    start_proftpd(mode, certificate);
    if (!server)
        return;
    const QString scheme = mode == u"explicit" ? QStringLiteral("ftpes") : QStringLiteral("ftps");
    const QString text = upload(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(server->port()),
                                21, QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(text.contains(u"certificate", Qt::CaseInsensitive), qPrintable(text));
    QVERIFY2(text.contains(u"127.0.0.1"), qPrintable(text));
    QVERIFY2(text.contains(reason, Qt::CaseInsensitive), qPrintable(text));
    QVERIFY(!text.contains(password));
    QVERIFY(nothing_stored());
}

void test_secure_connections::tls_to_server_without_tls_sends_no_password_data() {
    QTest::addColumn<QString>("scheme");
    QTest::newRow("ftpes") << "ftpes";
    QTest::newRow("ftps") << "ftps";
}

void test_secure_connections::tls_to_server_without_tls_sends_no_password() {
    QFETCH(QString, scheme);
    ftp_server plain;
    QVERIFY2(plain.started(), qPrintable(plain.start_error()));
    const QString text =
        upload(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(plain.port()), 21,
               QStringLiteral("page.php"), ftp_server::password(), ftp_server::user());
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(text.contains(u"TLS"), qPrintable(text));
    QVERIFY(!text.contains(ftp_server::password()));
    QCOMPARE(plain.events_starting_with(QStringLiteral("COMMAND PASS")), QStringList());
    QCOMPARE(plain.events_starting_with(QStringLiteral("STORED")), QStringList());
}

void test_secure_connections::sftp_upload_data() {
    QTest::addColumn<QString>("url"); // %1: the server's port
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("lands_at");
    QTest::addColumn<QStringList>("server_options");
    QTest::newRow("absolute") << "sftp://127.0.0.1:%1"
                              << "/www/page.php"
                              << "www/page.php" << QStringList();
    QTest::newRow("relative to login") << "sftp://127.0.0.1:%1/"
                                       << "www/page.php"
                                       << "home/alice/www/page.php" << QStringList();
    QTest::newRow("blank percent hash") << "sftp://127.0.0.1:%1"
                                        << "/www/a b%#1.php"
                                        << "www/a b%#1.php" << QStringList();
    QTest::newRow("password as keyboard-interactive's answer")
        << "sftp://127.0.0.1:%1"
        << "/www/page.php"
        << "www/page.php" << QStringList{QStringLiteral("--keyboard-interactive")};
}

void test_secure_connections::sftp_upload() {
    QFETCH(QString, url);
    QFETCH(QString, remote);
    QFETCH(QString, lands_at);
    QFETCH(QStringList, server_options);
    start_sftp({}, server_options);
    if (!server)
        return;
    const QString text = upload(url.arg(server->port()), 21, remote);
    QVERIFY2(text.contains(marker), qPrintable(text));
    QCOMPARE(file_content(root->filePath(lands_at)), page_bytes);
}

void test_secure_connections::sftp_wrong_password() {
    start_sftp();
    if (!server)
        return;
    const QString wrong = QStringLiteral("not-the-password");
    const QString text = upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21,
                                QStringLiteral("/www/page.php"), wrong);
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(text.contains(u"login", Qt::CaseInsensitive) ||
                 text.contains(u"authentication", Qt::CaseInsensitive),
             qPrintable(text));
    QVERIFY(!text.contains(wrong));
    QVERIFY(nothing_stored());
}

void test_secure_connections::sftp_stalled_request_ends_within_limits_data() {
    QTest::addColumn<QString>("request");
    QTest::newRow("a write") << "write";
    QTest::newRow("the one-step rename") << "posix_rename";
}

// libssh waits for an SFTP reply for ever: the limits end the wait, and a new connection takes
// the temporary file away.
void test_secure_connections::sftp_stalled_request_ends_within_limits() {
    QFETCH(QString, request);
    options.reply_timeout = options.stall_time = 2s;
    QVERIFY(write_file(root->filePath(QStringLiteral("www/page.php")), "the old page"));
    start_sftp({}, {QStringLiteral("--stall"), request});
    QElapsedTimer clock;
    clock.start();
    const QString text = upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21,
                                QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker) && text.contains(u"within 2 s"), qPrintable(text));
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(file_content(root->filePath(QStringLiteral("www/page.php"))), "the old page");
    QCOMPARE(QDir(root->filePath(QStringLiteral("www"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("page.php")});
}

void test_secure_connections::sftp_replaces_without_one_step_rename_data() {
    QTest::addColumn<QString>("posix_rename");
    QTest::newRow("not offered") << "absent";
    QTest::newRow("offered, and refused") << "refused";
}

// Without posix-rename@openssh.com the page is removed, then renamed: whole, and nothing left.
void test_secure_connections::sftp_replaces_without_one_step_rename() {
    QFETCH(QString, posix_rename);
    QVERIFY(write_file(root->filePath(QStringLiteral("www/page.php")), "the old page"));
    start_sftp({}, {QStringLiteral("--posix-rename"), posix_rename});
    const QString text = upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21,
                                QStringLiteral("/www/page.php"));
    QVERIFY2(text.contains(marker) && !text.contains(u"directly"), qPrintable(text));
    QCOMPARE(file_content(root->filePath(QStringLiteral("www/page.php"))), page_bytes);
    QCOMPARE(QDir(root->filePath(QStringLiteral("www"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("page.php")});
}

void test_secure_connections::sftp_new_host_key_recorded_data() {
    QTest::addColumn<QString>("known_hosts"); // below the local folder
    QTest::addColumn<QByteArray>("before");   // empty: no file
    QTest::newRow("file with other entries")
        << "known_hosts"
        << QByteArray("# my hosts\n"
                      "example.invalid ssh-ed25519 "
                      "AAAAC3NzaC1lZDI1NTE5AAAAIFWcKEWTkGhwuhnvEM6aUENzwbPLR32AaJcXaz5yxXLF\n");
    QTest::newRow("no file yet") << "known_hosts" << QByteArray();
    QTest::newRow("no folder yet") << "ssh/known_hosts" << QByteArray();
}

// As "ssh -o StrictHostKeyChecking=accept-new": a host never seen is trusted and remembered,
// the rest of the file is left as it was.
void test_secure_connections::sftp_new_host_key_recorded() {
    QFETCH(QString, known_hosts);
    QFETCH(QByteArray, before);
    options.known_hosts_file = local->filePath(known_hosts);
    if (!before.isEmpty())
        QVERIFY(write_file(options.known_hosts_file, before));
    QString error;
    const QString host_key = local->filePath(QStringLiteral("host_key"));
    const QString public_line = make_host_key(host_key, &error);
    QVERIFY2(!public_line.isEmpty(), qPrintable(error));
    start_sftp(host_key);
    if (!server)
        return;
    const QString url = QStringLiteral("sftp://127.0.0.1:%1").arg(server->port());

    QString text = upload(url, 21, QStringLiteral("/www/page.php"));
    QVERIFY2(text.contains(marker), qPrintable(text));
    const QString recorded = read_text(options.known_hosts_file);
    const QString entry = QStringLiteral("[127.0.0.1]:%1 %2").arg(server->port()).arg(public_line);
    QCOMPARE(recorded, QString::fromUtf8(before) + entry + u'\n');

    text = upload(url, 21, QStringLiteral("www/page.php")); // now a known host
    QVERIFY2(text.contains(marker), qPrintable(text));
    QCOMPARE(read_text(options.known_hosts_file), recorded);
    QCOMPARE(file_content(root->filePath(login_dir.mid(1) + QStringLiteral("/www/page.php"))),
             page_bytes);
}

void test_secure_connections::sftp_changed_host_key_refused() {
    QString error;
    const QString old_line = make_host_key(local->filePath(QStringLiteral("old_key")), &error);
    QVERIFY2(!old_line.isEmpty(), qPrintable(error));
    start_sftp();
    if (!server)
        return;
    const QByteArray before =
        QStringLiteral("[127.0.0.1]:%1 %2\n").arg(server->port()).arg(old_line).toUtf8();
    QVERIFY(write_file(options.known_hosts_file, before));
    const QString text = upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21,
                                QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(text.contains(u"host key", Qt::CaseInsensitive), qPrintable(text));
    QVERIFY2(text.contains(u"changed", Qt::CaseInsensitive), qPrintable(text));
    QCOMPARE(read_text(options.known_hosts_file), QString::fromUtf8(before));
    QVERIFY(nothing_stored());
}

void test_secure_connections::sftp_login_without_password_data() {
    QTest::addColumn<QString>("agent"); // the fixture's option: "--agent", "--silent-agent" or none
    QTest::addColumn<bool>("key_file");
    QTest::addColumn<bool>("key_changed"); // an old key of the server's, hashed, in known_hosts
    QTest::addColumn<QString>("said");
    QTest::newRow("agent") << "--agent" << false << false << marker;
    QTest::newRow("key file") << QString() << true << false << marker;
    QTest::newRow("silent agent, then the key file") << "--silent-agent" << true << false << marker;
    QTest::newRow("agent that never signs, then the key file")
        << "--signless-agent" << true << false << marker;
    QTest::newRow("agent that never signs, and no key file")
        << "--signless-agent" << false << false << "did not sign";
    QTest::newRow("neither agent nor key") << QString() << false << false << "tried";
    QTest::newRow("changed host key, hashed entry") << QString() << true << true << "changed";
}

// OpenSSH's sshd lets in the user running the test with a key, never with a password.
void test_secure_connections::sftp_login_without_password() {
    QFETCH(QString, agent);
    QFETCH(bool, key_file);
    QFETCH(bool, key_changed);
    QFETCH(QString, said);
    options.ssh_folder = local->filePath(QStringLiteral("ssh"));
    const QString socket = local->filePath(QStringLiteral("agent"));
    QStringList arguments{QStringLiteral("openssh")};
    if (!agent.isEmpty())
        arguments << agent << socket;
    QVERIFY(QDir().mkpath(options.ssh_folder));
    if (key_file)
        arguments << QStringLiteral("--key-file")
                  << options.ssh_folder + QStringLiteral("/id_ed25519");
    QString error;
    server = secure_server::start(arguments << root->path(), &error);
    QVERIFY2(server, qPrintable(error));
    if (key_changed) {
        const QString old_line = make_host_key(local->filePath(QStringLiteral("old_key")), &error);
        QVERIFY(write_file(
            options.known_hosts_file,
            QStringLiteral("[127.0.0.1]:%1 %2\n").arg(server->port()).arg(old_line).toUtf8()));
        QCOMPARE(QProcess::execute(QStringLiteral("ssh-keygen"),
                                   {QStringLiteral("-q"), QStringLiteral("-H"),
                                    QStringLiteral("-f"), options.known_hosts_file}),
                 0);
    }
    qputenv("SSH_AUTH_SOCK", agent.isEmpty() ? QByteArray() : QFile::encodeName(socket));
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpu = std::clock();
    const QString text = upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21,
                                QStringLiteral("www/page.php"), QString(),
                                QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
    qunsetenv("SSH_AUTH_SOCK");
    QVERIFY2(text.contains(said), qPrintable(text));
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    // A watch past its deadline must not spin while the agent keeps silent.
    QVERIFY2(std::clock() - cpu < 2 * CLOCKS_PER_SEC,
             qPrintable(QString::number(double(std::clock() - cpu) / CLOCKS_PER_SEC)));
    QCOMPARE(file_content(root->filePath(QStringLiteral("www/page.php"))),
             said == marker ? page_bytes : QByteArray());
}

namespace {

// A listening socket on 127.0.0.1 with room for `backlog` connections not yet accepted.
socket_handle listener(int backlog, sockaddr_in& address) {
    socket_handle listening(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listening.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening.get(), backlog) != 0 ||
        ::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return socket_handle();
    return listening;
}

addrinfo address_info(sockaddr_in& address) {
    addrinfo info{};
    info.ai_family = AF_INET;
    info.ai_socktype = SOCK_STREAM;
    info.ai_addrlen = sizeof address;
    info.ai_addr = reinterpret_cast<sockaddr*>(&address);
    return info;
}

} // namespace

// An address that swallows the handshake (a full queue drops it, as a broken IPv6 route does)
// leaves the next one time to answer.
void test_secure_connections::connect_leaves_time_for_the_next_address() {
    sockaddr_in silent_address{}, answering_address{};
    const socket_handle silent = listener(0, silent_address);
    const socket_handle answering = listener(8, answering_address);
    QVERIFY(silent.get() >= 0 && answering.get() >= 0);
    // The one place in the silent one's queue, taken.
    const socket_handle queued(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    QCOMPARE(::connect(queued.get(), reinterpret_cast<sockaddr*>(&silent_address),
                       sizeof silent_address),
             0);
    const addrinfo first = address_info(silent_address);
    const addrinfo second = address_info(answering_address);
    const std::atomic_bool stopping{false};
    QElapsedTimer clock;
    clock.start();
    const connect_attempt attempt = connect_first(
        {&first, &second}, std::chrono::steady_clock::now() + std::chrono::seconds(4), stopping);
    QCOMPARE(attempt.error, 0);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    QCOMPARE(::getpeername(attempt.socket.get(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
    QCOMPARE(peer.sin_port, answering_address.sin_port);
}

void test_secure_connections::sftp_create_folders_data() {
    QTest::addColumn<QString>("there"); // below the login directory: a folder, or a file "f"
    QTest::addColumn<bool>("created");
    QTest::newRow("two new folders") << "www" << true;
    QTest::newRow("both there already") << "www/a/b" << true;
    QTest::newRow("a file in the way") << "www/a" << false;
}

// The last two folders of "www/a/b/", on the connection publishing uses.
void test_secure_connections::sftp_create_folders() {
    QFETCH(QString, there);
    QFETCH(bool, created);
    const QString home = root->filePath(login_dir.mid(1));
    QVERIFY(created ? QDir(home).mkpath(there) : write_file(home + u'/' + there, "f"));
    start_sftp();
    const transfer_result<transfer_target> target =
        transfer_target_for(QStringLiteral("sftp://127.0.0.1:%1").arg(server->port()), 21);
    QVERIFY(target.value);
    const connection_plan plan{*target.value, user.toUtf8(), password.toUtf8(), options, {}, {}};
    const std::atomic_bool stopping{false};
    std::unique_ptr<sftp_connection> connection;
    QFile file(local_file);
    sftp_directory directory(connection, plan, stopping, QStringLiteral("www/a/b/"), file);
    const transfer_error failed = directory.create_folders(2);
    QCOMPARE(!failed, created);
    QCOMPARE(QFileInfo(home + QStringLiteral("/www/a/b")).isDir(), created);
    QVERIFY2(created || failed.what == transfer_error::kind::refused, qPrintable(failed.text));
}

void test_secure_connections::unknown_scheme_refused_data() {
    QTest::addColumn<QString>("url");
    QTest::newRow("http") << "http://127.0.0.1/";
    QTest::newRow("file") << "file:///etc/";
    QTest::newRow("scp") << "scp://127.0.0.1";
    QTest::newRow("misspelt") << "ftpse://127.0.0.1";
}

// A settings file must never make the component speak another protocol.
void test_secure_connections::unknown_scheme_refused() {
    QFETCH(QString, url);
    const QString text = upload(url, 21, QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker), qPrintable(text));
    for (const auto scheme : {u"ftp://", u"ftpes://", u"ftps://", u"sftp://"})
        QVERIFY2(text.contains(scheme), qPrintable(text));
}

void test_secure_connections::standard_ports_data() {
    QTest::addColumn<QString>("url");      // %1: a closed port
    QTest::addColumn<int>("port_setting"); // 0: the closed port
    QTest::addColumn<int>("expected");     // 0: the closed port
    // The port setting is the FTP control port: it stands in for a missing URL port with
    // "ftpes" as with "ftp", while "ftps" and "sftp" listen elsewhere.
    QTest::newRow("ftps: 990, not the port setting") << "ftps://127.0.0.1" << 21 << 990;
    QTest::newRow("sftp: 22, not the port setting") << "sftp://127.0.0.1/" << 21 << 22;
    QTest::newRow("ftpes: the port setting") << "ftpes://127.0.0.1" << 0 << 0;
    QTest::newRow("ftps: a port in the URL wins") << "ftps://127.0.0.1:%1" << 21 << 0;
    QTest::newRow("sftp: a port in the URL wins") << "sftp://127.0.0.1:%1/" << 21 << 0;
    QTest::newRow("ftpes: a port in the URL wins") << "ftpes://127.0.0.1:%1" << 990 << 0;
}

// Seen through libcurl's "Failed to connect to ... port N", so nothing may listen there.
void test_secure_connections::standard_ports() {
    QFETCH(QString, url);
    QFETCH(int, port_setting);
    QFETCH(int, expected);
    const quint16 closed = closed_port();
    const quint16 port = expected ? quint16(expected) : closed;
    if (port_in_use(port))
        QSKIP("something listens on this machine's standard port");
    const QString text =
        upload(url.contains(u"%1") ? url.arg(closed) : url,
               port_setting ? quint16(port_setting) : closed, QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("port %1 ").arg(port)), qPrintable(text));
}

void test_secure_connections::silent_server_ends_within_limits_data() {
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("closed"); // the window closes while the handshake waits
    QTest::newRow("ftpes") << "ftpes" << false;
    QTest::newRow("ftps") << "ftps" << false;
    QTest::newRow("sftp") << "sftp" << false;
    QTest::newRow("sftp, the window closed meanwhile") << "sftp" << true;
}

// A server that accepts and never says a word: no TLS or SSH handshake may wait forever, nor
// keep a closing window waiting.
void test_secure_connections::silent_server_ends_within_limits() {
    QFETCH(QString, scheme);
    QFETCH(bool, closed);
    ftp_server silent({QStringLiteral("--silent")});
    QVERIFY2(silent.started(), qPrintable(silent.start_error()));
    if (closed) {
        inet = std::make_unique<transfer_component>(short_limits(60s));
        configure(*inet, QStringLiteral("sftp://127.0.0.1:%1").arg(silent.port()), user, password);
        inet->execute(std::nullopt, QStringLiteral("PUT %1 /www/page.php").arg(local_file));
        QVERIFY(
            silent.wait_for_event([](const QString& line) { return line.startsWith(u"CONNECT"); }));
        QElapsedTimer clock;
        clock.start();
        inet.reset();
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        return;
    }
    options.connect_timeout = 2s;
    options.reply_timeout = 2s;
    options.stall_time = 2s;
    QElapsedTimer clock;
    clock.start();
    const QString text = upload(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(silent.port()),
                                21, QStringLiteral("/www/page.php"));
    QVERIFY2(!text.contains(marker), qPrintable(text));
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
}

void test_secure_connections::title_through_upload_page_data() {
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("certificate"); // ProFTPD's with explicit TLS; empty: SFTP
    QTest::addColumn<QString>("title");
    QTest::newRow("ftpes") << "ftpes"
                           << "server"
                           << "O.K.";
    QTest::newRow("sftp") << "sftp" << QString() << "O.K.";
    QTest::newRow("ftpes untrusted") << "ftpes"
                                     << "self_signed"
                                     << "Fehler";
}

void test_secure_connections::title_through_upload_page() {
    QFETCH(QString, scheme);
    QFETCH(QString, certificate);
    QFETCH(QString, title);
    if (certificate.isEmpty())
        start_sftp();
    else
        start_proftpd(QStringLiteral("explicit"), certificate);
    if (!server)
        return;
    inet = std::make_unique<transfer_component>(options);
    QWidget window;
    QLineEdit server_box, user_box, password_box, localdir_box, ftpdir_box, page_box;
    QPushButton btn_copy;
    server_box.setText(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(server->port()));
    user_box.setText(user);
    password_box.setText(password);
    localdir_box.setText(local->path() + u'/');
    ftpdir_box.setText(QStringLiteral("/www/"));
    page_box.setText(QStringLiteral("page.php"));
    upload_page({&window, &server_box, &user_box, &password_box, &localdir_box, &ftpdir_box,
                 &page_box, &btn_copy, inet.get()});
    QCOMPARE(window.windowTitle(), title);
    QTRY_VERIFY_WITH_TIMEOUT(!inet->still_executing(), 30000); // the CLOSE nobody waits for
    QCOMPARE(QFile::exists(root->filePath(QStringLiteral("www/page.php"))), title == u"O.K.");
}

QTEST_MAIN(test_secure_connections)
#include "test_secure_connections.moc"

void test_secure_connections::sftp_replies_to_writes_in_flight_data() {
    // Asked: the open (1), two writes of 100 bytes (2, 3), the size (4), the close (5).
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("taken"); // before the first that ends the session
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("refusal");
    const QByteArray ok;
    QTest::newRow("in order") << QList{handle_of(1), status_of(2, 0), status_of(3, 0),
                                       size_of(4, 200), status_of(5, 0)}
                              << 5 << qint64(200) << ok;
    QTest::newRow("out of order") << QList{status_of(3, 0), size_of(4, 200), handle_of(1),
                                           status_of(5, 0), status_of(2, 0)}
                                  << 5 << qint64(200) << ok;
    QTest::newRow("a write refused, the rest answered")
        << QList{handle_of(1), status_of(2, SSH_FX_FAILURE, "full"), status_of(3, 0),
                 size_of(4, 100), status_of(5, 0)}
        << 5 << qint64(100) << QByteArray("full");
    QTest::newRow("the size not told")
        << QList{status_of(4, SSH_FX_OP_UNSUPPORTED)} << 1 << qint64(-1) << ok;
    QTest::newRow("an id answered twice")
        << QList{status_of(2, 0), status_of(2, 0)} << 1 << qint64(-1) << ok;
    QTest::newRow("an id never issued") << QList{status_of(9, 0)} << 0 << qint64(-1) << ok;
    QTest::newRow("the open answered without a handle")
        << QList{status_of(1, 0)} << 0 << qint64(-1) << ok;
    QTest::newRow("a write answered with a size")
        << QList{size_of(2, 100)} << 0 << qint64(-1) << ok;
    QTest::newRow("a reply cut short") << QList{status_of(2, 0).left(6)} << 0 << qint64(-1) << ok;
}

// Each request is answered once, in any order, in the form it asks for; anything else ends the
// session rather than being read as the answer to a later request.
void test_secure_connections::sftp_replies_to_writes_in_flight() {
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, taken);
    QFETCH(qint64, size);
    QFETCH(QByteArray, refusal);
    flight_ledger ledger;
    ledger.asked_open(1);
    ledger.wrote(2, 100);
    ledger.wrote(3, 100);
    ledger.asked_size(4);
    ledger.asked_close(5);
    int accepted = 0;
    while (accepted < replies.size() && ledger.take(replies[accepted]))
        ++accepted;
    QCOMPARE(accepted, taken);
    QCOMPARE(ledger.outstanding(), 5 - taken);
    QCOMPARE(qint64(ledger.size().value_or(std::uint64_t(-1))), size);
    QCOMPARE(ledger.refusal() ? ledger.refusal()->message : QByteArray(), refusal);
    if (taken == 5)
        QCOMPARE(ledger.bytes_outstanding(), 0);
}
