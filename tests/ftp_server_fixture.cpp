#include "ftp_server_fixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int start_timeout_ms = 10000;
constexpr int stop_timeout_ms = 5000;

} // namespace

ftp_server::ftp_server(const QStringList& extra_args) {
    if (!home_.isValid()) {
        error_ = QStringLiteral("no temporary home: ") + home_.errorString();
        return;
    }
    process_.setProgram(QStringLiteral(FTP_TEST_PYTHON));
    process_.setArguments(
        QStringList{QStringLiteral(FTP_TEST_SERVER_SCRIPT), QStringLiteral("--home"), home_.path(),
                    QStringLiteral("--user"), user(), QStringLiteral("--password"), password()} +
        extra_args);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
    if (!process_.waitForStarted(start_timeout_ms)) {
        error_ = QStringLiteral("server did not start: ") + process_.errorString();
        return;
    }
    const QDeadlineTimer deadline(start_timeout_ms);
    while (!process_.canReadLine() && !deadline.hasExpired() &&
           process_.state() == QProcess::Running)
        process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    if (!process_.canReadLine()) {
        error_ = QStringLiteral("server reported no port");
        return;
    }
    bool ok = false;
    const uint port = QString::fromUtf8(process_.readLine().trimmed()).toUInt(&ok);
    if (ok && port > 0 && port <= 0xFFFF)
        port_ = static_cast<quint16>(port);
    else
        error_ = QStringLiteral("server reported no valid port");
}

ftp_server::~ftp_server() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.closeWriteChannel(); // the server exits when its stdin closes
    if (!process_.waitForFinished(stop_timeout_ms)) {
        process_.kill();
        process_.waitForFinished(stop_timeout_ms);
    }
}

QString ftp_server::url() const {
    return QStringLiteral("ftp://127.0.0.1:%1").arg(port_);
}

void ftp_server::read_events() {
    while (process_.canReadLine())
        events_.append(QString::fromUtf8(process_.readLine()).chopped(1));
}

QStringList ftp_server::events() {
    if (process_.state() == QProcess::Running)
        process_.waitForReadyRead(0);
    read_events();
    return events_;
}

QStringList ftp_server::events_starting_with(const QString& prefix) {
    QStringList found;
    for (const QString& line : events())
        if (line.startsWith(prefix))
            found.append(line);
    return found;
}

bool ftp_server::wait_for_event(const std::function<bool(const QString&)>& match,
                                std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    for (qsizetype seen = 0;;) {
        read_events();
        for (; seen < events_.size(); ++seen)
            if (match(events_[seen]))
                return true;
        if (deadline.hasExpired() || process_.state() != QProcess::Running)
            return false;
        process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
}

bool ftp_server::wait_for_event(const QString& line, std::chrono::milliseconds timeout) {
    return wait_for_event([&line](const QString& event) { return event == line; }, timeout);
}

quint16 closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

QByteArray awkward_content(qsizetype size) {
    QByteArray pattern("<?php echo 1; ?>\r\nline\nCR\r", 26);
    pattern.append('\0');
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        pattern.append(static_cast<char>(byte));
    QByteArray content;
    content.reserve(size);
    while (content.size() < size)
        content.append(pattern.left(size - content.size()));
    return content;
}

bool write_file(const QString& path, const QByteArray& content) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

QByteArray file_content(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
