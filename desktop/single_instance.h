#pragma once

#include "instance_address.h"

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QLocalSocket;
class QTimer;

// One instance per user and settings file: the running one listens under a name of its own, and
// `ftp-publisher --publish` and `--watch` ask it for work (instance_client.h).

// What a client asks the running program.
struct instance_request {
    enum class kind { publish, watch, changed } what = kind::publish;
    QStringList files; // absolute paths; none: the configured page. Of "changed": its option
};

// The running program's answer to one request; it ends when the object goes.
class instance_reply final {
public:
    explicit instance_reply(QLocalSocket* client);
    ~instance_reply();
    instance_reply(const instance_reply&) = delete;
    instance_reply& operator=(const instance_reply&) = delete;

    // One for each file, or for the page: the outcome and its reason.
    // A failure that `may_pass` may be tried again later.
    void tell(bool succeeded, const QString& reason, bool may_pass = false);
    // Nothing was done: the request cannot be carried out as asked.
    void refuse(const QString& reason);
    // A file to watch, and its name to show.
    void watch(const QString& path, const QString& shown);
    // A folder to watch with everything below it; `site` is the local directory.
    void watch_folder(const QString& path, const QString& site);
    // A line to show as it is; the summary that ends a run of changed files.
    void say(const QString& line);
    void done(const QString& summary);

private:
    void send(const QStringList& fields);

    QPointer<QLocalSocket> client;
    QPointer<QTimer> alive;
};

class instance_server final : public QObject {
    Q_OBJECT
public:
    // The reply ends, and the client hears the end, when the last copy of it goes: a handler
    // keeps one for as long as the work it asked for waits and runs.
    using handler = std::function<void(const instance_request&, std::shared_ptr<instance_reply>)>;

    instance_server(const instance_address& address, handler handle);

    enum class listening {
        here,      // the name is this instance's
        elsewhere, // another instance owns it; this one runs as before, unreached
        failed,    // it cannot listen: error() says why
    };
    listening listen();
    QString error() const { return why; }

    // While an asked-for upload runs, the client hears this often that the instance is alive.
    static constexpr int alive_interval_ms = 1000;

private:
    void serve(QLocalSocket* client);

    const instance_address address;
    const handler handle;
    QLocalServer server;
    std::unique_ptr<QLockFile> owner; // held while listening: the name is this instance's
    QString why;
};

// A program that a client started holds the lock file the client named in this variable until it
// listens: so the client sees it end meanwhile, on every system. Empty unless so started.
inline constexpr char start_lock_variable[] = "FTP_PUBLISHER_START_LOCK";
std::unique_ptr<QLockFile> hold_start_lock();
