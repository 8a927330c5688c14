#pragma once

#include "transfer_options.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

// A setting or command that the component refuses outright; nothing is sent for it. Thrown, so
// that the handler that gave it stops there.
class transfer_refused final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The transfer component: runs "PUT <local> <remote>" and "CLOSE" in the background over
// libcurl (FTP) or libssh (SFTP) and reports through a busy flag and a response text. Settings put
// while a command runs apply to the next command.
class transfer_component final : public QObject {
    Q_OBJECT
public:
    explicit transfer_component(transfer_options options = {}, QObject* parent = nullptr);
    ~transfer_component() override;

    // A value the component cannot use throws transfer_refused, and so does a control character
    // in a text, which could inject FTP commands.
    void set_access_type(std::int32_t access_type); // 0: the system's default way to the network
    void set_protocol(std::int32_t protocol);       // 2: FTP; the URL's scheme picks TLS or SFTP
    void set_remote_port(std::int16_t port);
    void set_url(const QString& url);
    void set_user_name(const QString& user_name);
    void set_password(const QString& password);
    // The next command, if a PUT, may create the last `levels` folders of its remote path when
    // they are missing; every later one none.
    void allow_new_folders(int levels);

    // Starts a command and returns at once; the URL argument is normally left out (when given,
    // it replaces the server URL for this command). Throws transfer_refused for a command other
    // than "PUT <local> <remote>" and "CLOSE", or one that holds a control character.
    void execute(const std::optional<QString>& url, const QString& command);
    // Throws transfer_refused as execute() would for this command, and starts nothing.
    static void check_command(const QString& command);

    bool still_executing() const;
    QString response_text() const;
    // Whether the last PUT failed in a way that asking again later may mend (the server away, the
    // link down, a time-out, a 4xx reply), not for good (a refused login, a 5xx reply, a host key
    // that changed, a local file that is not there).
    bool failure_may_pass() const;

signals:
    void command_finished();

private:
    // Hands the worker's results to the GUI thread. Invoked by name, so that Qt's event queue,
    // whose lock ThreadSanitizer cannot see, carries no data of ours: the results travel under
    // the component's own mutex.
    Q_INVOKABLE void take_finished();

    struct impl;
    std::unique_ptr<impl> d;
};
