#include "secure_servers.h"

#include <QProcess>
#include <optional>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString script = QStringLiteral(SECURE_SERVERS_SCRIPT);

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
    if (!server->helper.start(python, QStringList{script} + arguments)) {
        *error = server->helper.error();
        return nullptr;
    }
    return server;
}

bool make_certificates(const QString& folder, QString* error) {
    return run_helper({QStringLiteral("certs"), folder}, error).has_value();
}

QString make_host_key(const QString& file, QString* error) {
    return run_helper({QStringLiteral("host-key"), file}, error).value_or(QString()).trimmed();
}
