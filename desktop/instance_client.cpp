#include "instance_client.h"

#include "fixed_texts.h"
#include "instance_protocol.h"
#include "single_instance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QThread>
#include <cstdio>
#include <functional>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

using answers = std::function<void(const QStringList& fields)>;

int fail(const QString& why) {
    say(stderr, fixed_text::title_failed.toString() + QStringLiteral(": ") + why);
    return 1;
}

bool connect_to(QLocalSocket& socket, const QString& name) {
    socket.connectToServer(name);
    return socket.waitForConnected(instance_silence_timeout_ms);
}

// Whether the program that held the lock file has ended: the lock is then taken, and removed
// with the object. Nothing while it has not taken it yet, nor while it is still writing it.
bool lock_taken_from_ended(const QString& lock_path) {
    if (!QFileInfo::exists(lock_path))
        return false;
    QLockFile lock(lock_path);
    lock.setStaleLockTime(0);
    qint64 pid = 0;
    QString host, application;
    if (!lock.getLockInfo(&pid, &host, &application) || pid <= 0)
        return false;
    return lock.tryLock(0);
}

// Why the program could not listen under `name`, found out before it is started: a program that
// cannot listen would be started again by every client. Empty when it can. The same length as the
// name, which ends in hexadecimal digits: "p" is none of them.
QString listen_fault(const QString& name) {
    const QString probe_name = name.chopped(1) + u'p';
    QLocalServer::removeServer(probe_name);
    QLocalServer probe;
    if (probe.listen(probe_name))
        return {};
    return desktop_text::tr("cannot listen at %1: %2").arg(name, probe.errorString());
}

// Starts the program as a plain start does, with nothing of ours: a script that reads our
// output must not wait for the window to close.
QString start_instance(const QString& program, QLocalSocket& socket, const QString& name) {
    const QString alive = name + QStringLiteral(".started-") +
                          QString::number(QRandomGenerator::global()->generate(), 16);
    QProcess process;
    process.setProgram(program);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(start_lock_variable), alive);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        return desktop_text::tr("cannot start %1: %2").arg(program, process.errorString());
    const QDeadlineTimer deadline(instance_start_timeout_ms);
    while (!deadline.hasExpired()) {
        if (connect_to(socket, name))
            return {};
        if (lock_taken_from_ended(alive))
            return desktop_text::tr("ftp-publisher ended while starting");
        QThread::msleep(100); // the socket appears once its window is up
    }
    return desktop_text::tr("ftp-publisher did not start within %1 s")
        .arg(instance_start_timeout_ms / 1000);
}

// Connected to the running program, started if need be; empty, or why not.
QString reach(QLocalSocket& socket, const instance_address& address, const QString& program) {
    if (!address.fault.isEmpty())
        return address.fault;
    if (connect_to(socket, address.name))
        return {};
    // One client at a time starts the program, and the next finds it running.
    QLockFile starting(address.name + QStringLiteral(".starting"));
    starting.setStaleLockTime(0);
    if (!starting.tryLock(instance_start_timeout_ms))
        return desktop_text::tr("cannot lock %1").arg(starting.fileName());
    if (connect_to(socket, address.name))
        return {};
    if (const QString fault = listen_fault(address.name); !fault.isEmpty())
        return fault;
    return start_instance(program, socket, address.name);
}

// Sends the request and hands on each answer until the program hangs up; empty, or what went
// wrong. No limit on an upload itself: the transfer has timeouts of its own, and the program
// says meanwhile that it is alive.
QString ask(const instance_address& address, const QString& program, const QStringList& request,
            const answers& answered) {
    QLocalSocket socket;
    if (const QString failure = reach(socket, address, program); !failure.isEmpty())
        return failure;
    socket.write(instance_protocol::line_of(request));
    for (;;) {
        while (socket.canReadLine()) {
            const QStringList fields =
                instance_protocol::fields_of(socket.readLine(instance_protocol::line_limit));
            if (fields.first() != instance_protocol::busy)
                answered(fields);
        }
        if (socket.state() == QLocalSocket::UnconnectedState)
            return {};
        if (!socket.waitForReadyRead(instance_silence_timeout_ms) &&
            socket.state() != QLocalSocket::UnconnectedState)
            return desktop_text::tr("the running ftp-publisher did not answer within %1 s")
                .arg(instance_silence_timeout_ms / 1000);
    }
}

// The exit code once every answer is in.
int outcome(const QString& failure, const QString& refused, bool complete, bool succeeded) {
    if (!refused.isEmpty()) {
        say(stderr, refused);
        return 2;
    }
    if (!failure.isEmpty())
        return fail(failure);
    if (!complete)
        return fail(desktop_text::tr("ftp-publisher ended before the upload did"));
    return succeeded ? 0 : 1;
}

} // namespace

void say(std::FILE* to, const QString& line) {
    std::fprintf(to, "%s\n", qUtf8Printable(line));
    std::fflush(to);
}

int publish_through_instance(const instance_address& address, const QString& program,
                             const QStringList& files, QStringList* passing,
                             const QStringList& quiet) {
    QString refused;
    qsizetype told = 0;
    bool succeeded = true;
    const QString failure =
        ask(address, program, QStringList{instance_protocol::publish} + files,
            [&](const QStringList& answer) {
                if (answer.first() == instance_protocol::usage)
                    return void(refused = answer.value(1));
                // One answer a file, in their order.
                const QString file = files.value(told++);
                const bool ok = answer.first() == fixed_text::title_ok;
                succeeded = succeeded && ok;
                if (!ok && passing && answer.value(2) == instance_protocol::again)
                    *passing << file;
                if (ok || !quiet.contains(file))
                    say(stdout, answer.first() + QStringLiteral(": ") + answer.value(1));
            });
    return outcome(failure, refused, told >= std::max<qsizetype>(1, files.size()), succeeded);
}

int publish_changed_through_instance(const instance_address& address, const QString& program,
                                     const QString& option) {
    QString refused;
    bool complete = false;
    bool succeeded = true;
    QStringList request{instance_protocol::changed};
    if (!option.isEmpty())
        request << option;
    const QString failure = ask(address, program, request, [&](const QStringList& answer) {
        if (answer.first() == instance_protocol::usage)
            return void(refused = answer.value(1));
        if (answer.first() == instance_protocol::say || answer.first() == instance_protocol::done) {
            complete = complete || answer.first() == instance_protocol::done;
            return say(stdout, answer.value(1));
        }
        succeeded = succeeded && answer.first() == fixed_text::title_ok;
        say(stdout, answer.first() + QStringLiteral(": ") + answer.value(1));
    });
    return outcome(failure, refused, complete, succeeded);
}

int ask_what_to_watch(const instance_address& address, const QString& program,
                      const QStringList& files, QList<watched_file>* watched) {
    QString refused;
    const QString failure =
        ask(address, program, QStringList{instance_protocol::watch} + files,
            [&](const QStringList& answer) {
                if (answer.first() == instance_protocol::usage)
                    return void(refused = answer.value(1));
                if (answer.first() == instance_protocol::watch)
                    *watched << watched_file{answer.value(1), answer.value(2), {}};
                if (answer.first() == instance_protocol::folder)
                    *watched << watched_file{answer.value(1), answer.value(1), answer.value(2)};
            });
    return outcome(failure, refused, !watched->isEmpty(), true);
}
