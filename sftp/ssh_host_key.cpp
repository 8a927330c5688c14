#include "ssh_host_key.h"

#include "upload_text.h"

namespace {

// As OpenSSH writes the host in known_hosts.
QString host_entry(const transfer_target& target) {
    const QString host = target.host.toLower();
    return target.port == 22 ? host : QStringLiteral("[%1]:%2").arg(host).arg(target.port);
}

} // namespace

transfer_error check_host_key(ssh_session session, const QString& known_hosts_file,
                              const transfer_target& target) {
    switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
        return {};
    case SSH_KNOWN_HOSTS_NOT_FOUND: // no file yet
    case SSH_KNOWN_HOSTS_UNKNOWN:
        // As with ssh, a file that cannot be written only means the same question next time.
        ssh_session_update_known_hosts(session);
        return {};
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER: // a key of another type than the one recorded
        return {transfer_error::kind::broken,
                upload_text::tr("the host key of %1 has changed since it was recorded in %2; "
                                "connection refused. If the server's key was really replaced, "
                                "remove its old line from that file.")
                    .arg(host_entry(target), known_hosts_file),
                true};
    case SSH_KNOWN_HOSTS_ERROR:
        break;
    }
    return {transfer_error::kind::broken,
            upload_text::tr("the host key of %1 was not accepted: %2")
                .arg(target.host, QString::fromUtf8(ssh_get_error(session)))};
}
