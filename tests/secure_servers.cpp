#include "secure_servers.h"

#include <QDeadlineTimer>
#include <optional>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString script = QStringLiteral(SECURE_SERVERS_SCRIPT);
constexpr int start_limit_ms = 20000;

std::optional<QString> run_helper(const QStringList& arguments, QString* error) {
    QProcess helper;
    helper.start(python, QStringList{script} + arguments);
    if (!helper.waitForFinished(60000) || helper.exitStatus() != QProcess::NormalExit ||
        helper.exitCode() != 0) {
        helper.kill();
        helper.waitForFinished(5000);
        *error = QStringLiteral("secure_servers.py %1 failed: %2")
                     .arg(arguments.join(u' '), QString::fromUtf8(helper.readAllStandardError()));
        return std::nullopt;
    }
    return QString::fromUtf8(helper.readAllStandardOutput());
}

} // namespace

std::unique_ptr<secure_server> secure_server::start(const QStringList& arguments, QString* error) {
    std::unique_ptr<secure_server> server(new secure_server);
    server->process.start(python, QStringList{script} + arguments);
    if (!server->read_until_port(error))
        return nullptr;
    return server;
}

bool secure_server::read_until_port(QString* error) {
    const QDeadlineTimer deadline(start_limit_ms);
    while (!deadline.hasExpired()) {
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            if (line.startsWith(u"port "))
                listen_port = line.mid(5).toUShort();
            if (listen_port != 0)
                return true;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    *error = QStringLiteral("server did not report its port: %1")
                 .arg(QString::fromUtf8(process.readAllStandardError()));
    return false;
}

secure_server::~secure_server() {
    // Closing stdin asks the server to end what it started; a kill is the fallback.
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool make_certificates(const QString& folder, QString* error) {
    return run_helper({QStringLiteral("certs"), folder}, error).has_value();
}

QString make_host_key(const QString& file, QString* error) {
    return run_helper({QStringLiteral("host-key"), file}, error).value_or(QString()).trimmed();
}
