#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>

class QLocalSocket;

// One instance per user and settings file: the running one listens under a name of its own, and
// `ftp-publisher --publish` asks it to publish.

// The name for this user and settings file: a socket in the user's runtime folder.
QString instance_name(const QString& settings_file);

class instance_server final : public QObject {
    Q_OBJECT
public:
    // Called with the answer to give: the same handler as a click, and its outcome.
    using answer = std::function<void(bool succeeded, const QString& reason)>;
    using publisher = std::function<void(const answer&)>;

    instance_server(const QString& name, publisher publish);

    // False when another instance listens under the name already; this one then runs as before,
    // unreached.
    bool listen();

    // While an asked-for upload runs, the client hears this often that the instance is alive.
    static constexpr int alive_interval_ms = 1000;

private:
    void serve(QLocalSocket* client);

    QString name;
    publisher publish;
    QLocalServer server;
};

// The --publish side. Asks the instance under `name` to publish; with none there, starts
// `program` (detached, as a plain start would) and asks it once it listens. Prints the outcome and
// its reason on one line to stdout, or a failure to stderr, and returns the exit code: 0 for
// "O.K.", 1 otherwise.
int publish_through_instance(const QString& name, const QString& program);

// How long the client waits: for a new instance to listen, and for any word from a running one.
inline constexpr int instance_start_timeout_ms = 30000;
inline constexpr int instance_silence_timeout_ms = 5000;
