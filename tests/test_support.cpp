#include "test_support.h"

#include "transfer_libraries.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int start_limit_ms = 20000;
constexpr int stop_limit_ms = 10000;

// Before any thread of a test exists, as in main.
const transfer_libraries libraries;

} // namespace

transfer_options short_limits(std::chrono::seconds each) {
    return {each, each, each};
}

void configure(transfer_component& inet, const QString& url, const QString& user,
               const QString& password, std::int16_t port) {
    inet.set_access_type(0);
    inet.set_protocol(2);
    inet.set_remote_port(port);
    inet.set_url(url);
    inet.set_user_name(user);
    inet.set_password(password);
}

QString put_and_close(transfer_component& inet, const QString& put_argument,
                      std::chrono::milliseconds limit) {
    // A second text says that the CLOSE did not end.
    const QStringList texts = put_and_close(inet, QStringList{put_argument}, limit);
    return texts.size() > 1 ? texts.last() : texts.value(0);
}

QStringList put_and_close(transfer_component& inet, const QStringList& put_arguments,
                          std::chrono::milliseconds limit) {
    const auto idle = [&inet] { return !inet.still_executing(); };
    QStringList texts;
    for (const QString& put_argument : put_arguments) {
        inet.execute(std::nullopt, QStringLiteral("PUT ") + put_argument);
        if (!QTest::qWaitFor(idle, static_cast<int>(limit.count())))
            return texts << QStringLiteral("(PUT still busy after %1 ms)").arg(limit.count());
        texts << inet.response_text();
    }
    inet.execute(std::nullopt, QStringLiteral("CLOSE"));
    if (!QTest::qWaitFor(idle, static_cast<int>(limit.count())))
        return texts << QStringLiteral("(CLOSE still busy after %1 ms)").arg(limit.count());
    return texts;
}

bool helper_process::start(const QString& program, const QStringList& arguments) {
    running.start(program, arguments);
    const QDeadlineTimer deadline(start_limit_ms);
    while (!deadline.hasExpired()) {
        while (running.canReadLine()) {
            QString line = QString::fromUtf8(running.readLine()).trimmed();
            if (line.startsWith(u"port "))
                line.remove(0, 5);
            bool number = false;
            const uint port = line.toUInt(&number);
            if (number && port > 0 && port <= 0xFFFF) {
                reported_port = static_cast<quint16>(port);
                return true;
            }
        }
        if (running.state() == QProcess::NotRunning)
            break;
        running.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    why = QStringLiteral("%1 did not report its port: %2")
              .arg(arguments.value(0, program),
                   QString::fromUtf8(running.readAllStandardError()).trimmed());
    return false;
}

helper_process::~helper_process() {
    if (running.state() == QProcess::NotRunning)
        return;
    running.closeWriteChannel();
    if (!running.waitForFinished(stop_limit_ms)) {
        running.kill();
        running.waitForFinished(stop_limit_ms);
    }
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
