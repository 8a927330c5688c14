#include "single_instance.h"

#include "fixed_texts.h"
#include "instance_protocol.h"
#include "outcome_notification.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QTimer>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

// Alive as long as its program runs, however long that is.
std::unique_ptr<QLockFile> lock_file(const QString& path) {
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);
    return lock;
}

} // namespace

instance_reply::instance_reply(QLocalSocket* client) : client(client) {
    if (!client)
        return;
    alive = new QTimer(client);
    QObject::connect(alive, &QTimer::timeout, client, [this] { send({instance_protocol::busy}); });
    alive->start(instance_server::alive_interval_ms);
}

instance_reply::~instance_reply() {
    delete alive;
    if (client)
        client->disconnectFromServer();
}

void instance_reply::tell(bool succeeded, const QString& reason, bool may_pass) {
    QStringList fields{(succeeded ? fixed_text::title_ok : fixed_text::title_failed).toString(),
                       shown_reason(reason)};
    if (!succeeded && may_pass)
        fields << instance_protocol::again;
    send(fields);
}

void instance_reply::refuse(const QString& reason) {
    send({instance_protocol::usage, reason});
}

void instance_reply::watch(const QString& path, const QString& shown) {
    send({instance_protocol::watch, path, shown});
}

void instance_reply::watch_folder(const QString& path, const QString& site) {
    send({instance_protocol::folder, path, site});
}

void instance_reply::say(const QString& line) {
    send({instance_protocol::say, line});
}

void instance_reply::done(const QString& summary) {
    send({instance_protocol::done, summary});
}

void instance_reply::send(const QStringList& fields) {
    if (client)
        client->write(instance_protocol::line_of(fields));
}

instance_server::instance_server(const instance_address& address, handler handle)
    : address(address), handle(std::move(handle)) {
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server.nextPendingConnection())
            serve(client);
    });
}

instance_server::listening instance_server::listen() {
    if (!address.fault.isEmpty()) {
        why = address.fault;
        return listening::failed;
    }
    auto lock = lock_file(address.name + QStringLiteral(".lock"));
    if (!lock->tryLock(0)) {
        if (lock->error() == QLockFile::LockFailedError)
            return listening::elsewhere;
        why = desktop_text::tr("cannot lock %1").arg(address.name + QStringLiteral(".lock"));
        return listening::failed;
    }
    // Left by an owner that ended without removing it: it answers no one.
    QLocalServer::removeServer(address.name);
    if (!server.listen(address.name)) {
        why = desktop_text::tr("cannot listen at %1: %2").arg(address.name, server.errorString());
        return listening::failed;
    }
    owner = std::move(lock);
    return listening::here;
}

void instance_server::serve(QLocalSocket* client) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine()) {
            if (client->bytesAvailable() > instance_protocol::line_limit)
                client->disconnectFromServer();
            return;
        }
        const QStringList asked =
            instance_protocol::fields_of(client->readLine(instance_protocol::line_limit));
        disconnect(client, &QLocalSocket::readyRead, this, nullptr);
        instance_request request{instance_request::kind::publish, asked.mid(1)};
        if (asked.first() == instance_protocol::watch)
            request.what = instance_request::kind::watch;
        else if (asked.first() == instance_protocol::changed)
            request.what = instance_request::kind::changed;
        else if (asked.first() != instance_protocol::publish)
            return client->disconnectFromServer();
        // From the event loop, as a click comes: the upload waits in nested loops of its own.
        QTimer::singleShot(0, this, [this, request, guard = QPointer<QLocalSocket>(client)] {
            handle(request, std::make_shared<instance_reply>(guard));
        });
    });
}

std::unique_ptr<QLockFile> hold_start_lock() {
    const QString path = qEnvironmentVariable(start_lock_variable);
    if (path.isEmpty())
        return nullptr;
    qunsetenv(start_lock_variable); // nothing this program starts holds it
    auto lock = lock_file(path);
    lock->tryLock(0);
    return lock;
}
