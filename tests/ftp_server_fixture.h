#pragma once

#include "test_support.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

// Runs tests/ftp_server.py for one test: on 127.0.0.1 and a free port, with a fresh temporary
// home, logged in as user()/password(). extra_args pick its fault modes (see the script's
// header: --throttle, --reply, --reply-on-stor, --silent). The server reports every connection
// and command on its stdout; events() returns those lines. The server ends with the object, also
// when the test fails.
class ftp_server final {
public:
    explicit ftp_server(const QStringList& extra_args = {});

    bool started() const { return helper.port() != 0; }
    QString start_error() const { return error_; }
    quint16 port() const { return helper.port(); }
    QString url() const; // "ftp://127.0.0.1:<port>"
    QString home() const { return home_.path(); }
    static QString user() { return QStringLiteral("publisher"); }
    static QString password() { return QStringLiteral("wolken bus%7"); }

    // The event lines received so far ("CONNECT ...", "COMMAND USER x", "STORED a/b 12", ...).
    QStringList events();
    // Waits, bounded, until an event line satisfies `match`; true if one did.
    bool wait_for_event(const std::function<bool(const QString&)>& match,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_for_event(const QString& line,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The event lines that start with `prefix`, e.g. "COMMAND STOR".
    QStringList events_starting_with(const QString& prefix);

private:
    void read_events();

    QTemporaryDir home_;
    helper_process helper;
    QString error_;
    QStringList events_;
};

// The component's settings for an upload to `server`, logged in as its user.
void configure(transfer_component& inet, const ftp_server& server);
