#pragma once

#include <QString>
#include <chrono>

// Limits that keep every command finite, and whom to trust; tests shorten and replace them.
struct transfer_options {
    transfer_options() = default;
    // The three limits in order, as {connect, reply, stall}; the rest keep their defaults.
    transfer_options(std::chrono::seconds connect, std::chrono::seconds reply,
                     std::chrono::seconds stall)
        : connect_timeout(connect), reply_timeout(reply), stall_time(stall) {}

    std::chrono::seconds connect_timeout{30};
    std::chrono::seconds reply_timeout{60};
    std::chrono::seconds stall_time{60}; // aborted when slower than 1 byte/s for this long
    // Trusted for TLS beside the system's certificates (tests bring their own CA); empty: none.
    QString extra_ca_file;
    // Where SFTP host keys are checked and new ones recorded; empty: ~/.ssh/known_hosts.
    QString known_hosts_file;
    // Where SFTP looks for the user's keys (id_ed25519, id_ecdsa, id_rsa); empty: ~/.ssh.
    QString ssh_folder;
};
