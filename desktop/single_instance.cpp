#include "single_instance.h"

#include "fixed_texts.h"
#include "outcome_notification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <signal.h>
#include <unistd.h>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

const QByteArray publish_request = "publish\n";
const QByteArray alive_line = "busy\n";

// One line of the answer: the outcome, a tab, the reason with nothing in it that ends a line.
QByteArray answer_line(bool succeeded, const QString& reason) {
    return ((succeeded ? fixed_text::title_ok : fixed_text::title_failed).toString() + u'\t' +
            shown_reason(reason) + u'\n')
        .toUtf8();
}

int fail(const QString& why) {
    std::fprintf(stderr, "%s\n",
                 qUtf8Printable(fixed_text::title_failed.toString() + QStringLiteral(": ") + why));
    return 1;
}

bool connect_to(QLocalSocket& socket, const QString& name) {
    socket.connectToServer(name);
    return socket.waitForConnected(instance_silence_timeout_ms);
}

bool still_running(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// Starts the program as a plain start does, with nothing of ours: a script that reads our
// output must not wait for the window to close.
QString start_instance(const QString& program, QLocalSocket& socket, const QString& name) {
    QProcess process;
    process.setProgram(program);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return desktop_text::tr("cannot start %1: %2").arg(program, process.errorString());
    const QDeadlineTimer deadline(instance_start_timeout_ms);
    while (!deadline.hasExpired()) {
        if (connect_to(socket, name))
            return {};
        if (!still_running(pid))
            return desktop_text::tr("ftp-publisher ended while starting");
        QThread::msleep(100); // the socket appears once its window is up
    }
    return desktop_text::tr("ftp-publisher did not start within %1 s")
        .arg(instance_start_timeout_ms / 1000);
}

} // namespace

QString instance_name(const QString& settings_file) {
    // Not Qt's runtime location: without XDG_RUNTIME_DIR it warns on stderr, which a script
    // reads.
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir(runtime).exists())
        runtime = QDir::tempPath();
    // The user too, in case that folder is shared; the path's hash keeps the name short enough
    // for a socket.
    const QByteArray key =
        QByteArray::number(::getuid()) + '\n' + QDir::cleanPath(settings_file).toUtf8();
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
    return runtime + QStringLiteral("/ftp-publisher-") + QString::fromLatin1(hash.left(32));
}

instance_server::instance_server(const QString& name, publisher publish)
    : name(name), publish(std::move(publish)) {
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server.nextPendingConnection())
            serve(client);
    });
}

bool instance_server::listen() {
    if (server.listen(name))
        return true;
    if (server.serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // A socket left behind by an instance that ended without removing it answers no one.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(instance_silence_timeout_ms))
        return false;
    QLocalServer::removeServer(name);
    return server.listen(name);
}

void instance_server::serve(QLocalSocket* client) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine())
            return;
        const bool asked = client->readLine(64) == publish_request;
        disconnect(client, &QLocalSocket::readyRead, this, nullptr);
        if (!asked)
            return client->disconnectFromServer();
        auto* alive = new QTimer(client);
        connect(alive, &QTimer::timeout, client, [client] { client->write(alive_line); });
        alive->start(alive_interval_ms);
        // From the event loop, as a click comes: the upload waits in nested loops of its own.
        QTimer::singleShot(0, this, [this, guard = QPointer<QLocalSocket>(client), alive] {
            publish([guard, alive](bool succeeded, const QString& reason) {
                if (!guard)
                    return;
                alive->stop();
                guard->write(answer_line(succeeded, reason));
                guard->disconnectFromServer();
            });
        });
    });
}

int publish_through_instance(const QString& name, const QString& program) {
    QLocalSocket socket;
    if (!connect_to(socket, name)) {
        const QString failure = start_instance(program, socket, name);
        if (!failure.isEmpty())
            return fail(failure);
    }
    socket.write(publish_request);
    QByteArray line;
    // No limit on the upload itself: the transfer has timeouts of its own, and the instance
    // says meanwhile that it is alive.
    while (line.isEmpty() || line == alive_line) {
        if (!socket.canReadLine() && !socket.waitForReadyRead(instance_silence_timeout_ms))
            return fail(socket.state() == QLocalSocket::UnconnectedState
                            ? desktop_text::tr("ftp-publisher ended before the upload did")
                            : desktop_text::tr("the running ftp-publisher did not answer within "
                                               "%1 s")
                                  .arg(instance_silence_timeout_ms / 1000));
        if (socket.canReadLine())
            line = socket.readLine();
    }
    const QString answer = QString::fromUtf8(line).chopped(1);
    const qsizetype tab = answer.indexOf(u'\t');
    const QString outcome = answer.left(tab);
    const QString reason = answer.mid(tab + 1);
    const bool succeeded = outcome == fixed_text::title_ok;
    std::printf("%s\n", qUtf8Printable(outcome + QStringLiteral(": ") + reason));
    return succeeded ? 0 : 1;
}
