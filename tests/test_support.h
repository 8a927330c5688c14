#pragma once

#include "transfer_component.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>

// What the tests of the transfer share.

// Connect, reply and stall limits of `each`, short enough for a test to wait out.
transfer_options short_limits(std::chrono::seconds each = std::chrono::seconds(2));

// The component's settings as upload_page puts them, in its order.
void configure(transfer_component& inet, const QString& url, const QString& user,
               const QString& password, std::int16_t port = 21);

// "PUT <argument>" and its response text, then "CLOSE", each wait bounded as upload_page's
// never is. A wait that runs out gives a text that says so, which no check takes for success.
QString put_and_close(transfer_component& inet, const QString& put_argument,
                      std::chrono::milliseconds limit = std::chrono::seconds(60));
// Several PUTs over one login, then one CLOSE: each PUT's response text.
QStringList put_and_close(transfer_component& inet, const QStringList& put_arguments,
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

// A helper program that a test runs (a server, a relay) on 127.0.0.1: it reports its port on a
// line of its own ("12345" or "port 12345") and ends when its stdin closes. Ended with the
// object, killed if it will not go, also when a check failed.
class helper_process final {
public:
    helper_process() = default;
    ~helper_process();
    helper_process(const helper_process&) = delete;
    helper_process& operator=(const helper_process&) = delete;

    // Starts it and waits, bounded, for its port; false when none came, and error() says why.
    bool start(const QString& program, const QStringList& arguments);
    quint16 port() const { return reported_port; }
    QString error() const { return why; }
    QProcess& process() { return running; }

private:
    QProcess running;
    quint16 reported_port = 0;
    QString why;
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
