#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

// Runs tests/ftp_server.py for one test: on 127.0.0.1 and a free port, with a fresh temporary
// home, logged in as user()/password(). extra_args pick its fault modes (see the script's
// header: --throttle, --reply, --reply-on-stor, --silent). The server reports every connection
// and command on its stdout; events() returns those lines. The destructor ends the server, also
// when the test fails.
class ftp_server final {
public:
    explicit ftp_server(const QStringList& extra_args = {});
    ~ftp_server();
    ftp_server(const ftp_server&) = delete;
    ftp_server& operator=(const ftp_server&) = delete;

    bool started() const { return port_ != 0; }
    QString start_error() const { return error_; }
    quint16 port() const { return port_; }
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
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
    QStringList events_;
};

// File content that a text-mode transfer or a C string would damage: CR LF, lone CR and LF, NUL
// and every byte over 0x7F, repeated to `size` bytes.
QByteArray awkward_content(qsizetype size);
// Writes a file, creating its directories; false on any failure.
bool write_file(const QString& path, const QByteArray& content);
// The file's bytes; empty when it cannot be read.
QByteArray file_content(const QString& path);

// A port on 127.0.0.1 on which nothing listens (it was free a moment ago).
quint16 closed_port();
