#include "ftp_server_fixture.h"

#include <QDeadlineTimer>

ftp_server::ftp_server(const QStringList& extra_args) {
    if (!home_.isValid()) {
        error_ = QStringLiteral("no temporary home: ") + home_.errorString();
        return;
    }
    helper.process().setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!helper.start(QStringLiteral(FTP_TEST_PYTHON),
                      QStringList{QStringLiteral(FTP_TEST_SERVER_SCRIPT), QStringLiteral("--home"),
                                  home_.path(), QStringLiteral("--user"), user(),
                                  QStringLiteral("--password"), password()} +
                          extra_args))
        error_ = helper.error();
}

QString ftp_server::url() const {
    return QStringLiteral("ftp://127.0.0.1:%1").arg(port());
}

void ftp_server::read_events() {
    QProcess& process = helper.process();
    while (process.canReadLine())
        events_.append(QString::fromUtf8(process.readLine()).chopped(1));
}

QStringList ftp_server::events() {
    if (helper.process().state() == QProcess::Running)
        helper.process().waitForReadyRead(0);
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
        if (deadline.hasExpired() || helper.process().state() != QProcess::Running)
            return false;
        helper.process().waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
}

bool ftp_server::wait_for_event(const QString& line, std::chrono::milliseconds timeout) {
    return wait_for_event([&line](const QString& event) { return event == line; }, timeout);
}

void configure(transfer_component& inet, const ftp_server& server) {
    configure(inet, server.url(), ftp_server::user(), ftp_server::password());
}
