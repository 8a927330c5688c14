#pragma once

#include "connection_plan.h"
#include "socket_handle.h"
#include "socket_watch.h"
#include "transfer_error.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <memory>
#include <optional>
#include <type_traits>

// One SSH session and its SFTP channel, for one publish. Every blocking libssh call runs under
// the socket_watch: bounded by the transfer's limits, and ended when the component stops.
class sftp_connection final {
public:
    // Connected, the host key checked, logged in and SFTP started; or why not.
    static transfer_result<std::unique_ptr<sftp_connection>> open(const connection_plan& plan,
                                                                  const std::atomic_bool& stopping);
    ~sftp_connection(); // says goodbye, briefly
    sftp_connection(const sftp_connection&) = delete;
    sftp_connection& operator=(const sftp_connection&) = delete;

    sftp_session sftp() const { return channel.get(); }
    const transfer_options& limits() const { return options; }

    // `call`, a libssh call, with `limit` for the server's reply.
    template <class Call> auto bounded(std::chrono::seconds limit, Call call) {
        watch.limit(limit);
        const auto result = call();
        watch.idle();
        return result;
    }
    // A failed call: kind `if_answered` when the server answered it, `if_lost` when the
    // connection is gone; the text names `about` and why.
    transfer_error failure(transfer_error::kind if_answered, transfer_error::kind if_lost,
                           const QString& about) const;
    // The status of the server's last answer (SSH_FX_...).
    std::uint32_t status() const { return std::uint32_t(sftp_get_error(channel.get())); }
    // The longest write the server takes (limits@openssh.com; zero: no limit), once asked.
    std::optional<std::uint64_t>& write_length_limit() { return write_limit; }
    // Gives the connection up: every later call fails at once.
    void drop() { watch.cut(); }
    // Whether the connection is gone: cut, timed out or closed by the server.
    bool lost() const;

private:
    struct session_closer {
        void operator()(ssh_session session) const;
    };
    struct channel_closer {
        void operator()(sftp_session sftp) const { sftp_free(sftp); }
    };

    sftp_connection(const connection_plan& plan, int socket, const std::atomic_bool& stopping);
    transfer_error start(const connection_plan& plan, socket_handle& socket);
    bool configured(const connection_plan& plan, socket_handle& socket);

    socket_watch watch; // first: it outlives the libssh calls it bounds
    std::unique_ptr<std::remove_pointer_t<ssh_session>, session_closer> session;
    std::unique_ptr<std::remove_pointer_t<sftp_session>, channel_closer> channel;
    const transfer_options options;
    const QString known_hosts;
    std::optional<std::uint64_t> write_limit;
};
