#include "sftp_connection.h"

#include "ssh_host_key.h"
#include "ssh_login.h"
#include "tcp_connect.h"
#include "upload_text.h"

#include <QDir>
#include <QFile>

using namespace std::chrono_literals;

namespace {

using kind = transfer_error::kind;

constexpr std::chrono::seconds goodbye_limit = 2s;

QString known_hosts_of(const transfer_options& options) {
    return options.known_hosts_file.isEmpty()
               ? QDir::homePath() + QStringLiteral("/.ssh/known_hosts")
               : options.known_hosts_file;
}

} // namespace

void sftp_connection::session_closer::operator()(ssh_session session) const {
    ssh_disconnect(session);
    ssh_free(session);
}

transfer_result<std::unique_ptr<sftp_connection>>
sftp_connection::open(const connection_plan& plan, const std::atomic_bool& stopping) {
    transfer_result<socket_handle> socket =
        tcp_connect(plan.target.host, plan.target.port, plan.limits.connect_timeout, stopping);
    if (!socket.value)
        return socket.error;
    std::unique_ptr<sftp_connection> made(new sftp_connection(plan, socket.value->get(), stopping));
    if (transfer_error failed = made->start(plan, *socket.value))
        return failed;
    return made;
}

sftp_connection::sftp_connection(const connection_plan& plan, int socket,
                                 const std::atomic_bool& stopping)
    : watch(socket, stopping), session(ssh_new()), options(plan.limits),
      known_hosts(known_hosts_of(plan.limits)) {
}

sftp_connection::~sftp_connection() {
    // A server that stopped reading must not hold the goodbye up.
    watch.limit(goodbye_limit);
    channel.reset();
    session.reset();
}

bool sftp_connection::configured(const connection_plan& plan, socket_handle& socket) {
    ssh_session s = session.get();
    const QByteArray host = plan.target.host.toUtf8();
    const unsigned int port = plan.target.port;
    const long timeout = long(plan.limits.reply_timeout.count());
    const bool no = false;
    const int descriptor = socket.get();
    const QByteArray known_hosts_file = QFile::encodeName(known_hosts);
    // The server URL alone says where to go: no ~/.ssh/config redirects it.
    return ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no) == SSH_OK &&
           ssh_options_set(s, SSH_OPTIONS_HOST, host.constData()) == SSH_OK &&
           ssh_options_set(s, SSH_OPTIONS_PORT, &port) == SSH_OK &&
           ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, known_hosts_file.constData()) == SSH_OK &&
           ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeout) == SSH_OK &&
           (plan.user_name.isEmpty() ||
            ssh_options_set(s, SSH_OPTIONS_USER, plan.user_name.constData()) == SSH_OK) &&
           ssh_options_set(s, SSH_OPTIONS_FD, &descriptor) == SSH_OK &&
           socket.release() >= 0; // libssh closes it now
}

transfer_error sftp_connection::start(const connection_plan& plan, socket_handle& socket) {
    if (!session || !configured(plan, socket))
        return {kind::broken, upload_text::tr("libssh could not set up a session: %1")
                                  .arg(QString::fromUtf8(ssh_get_error(session.get())))};
    const QString host = plan.target.host;
    if (bounded(plan.limits.connect_timeout, [this] { return ssh_connect(session.get()); }) !=
        SSH_OK)
        return failure(kind::broken, kind::broken,
                       upload_text::tr("no SSH connection with %1").arg(host));
    if (transfer_error refused = check_host_key(session.get(), known_hosts, plan.target))
        return refused;
    if (transfer_error refused = log_in(session.get(), plan, watch))
        return watch.cut_for() == socket_watch::reason::none
                   ? refused
                   : failure(kind::broken, kind::broken,
                             upload_text::tr("the SFTP login at %1").arg(host));
    channel.reset(bounded(options.reply_timeout, [this] { return sftp_new(session.get()); }));
    if (!channel ||
        bounded(options.reply_timeout, [this] { return sftp_init(channel.get()); }) != SSH_OK)
        return failure(kind::broken, kind::broken,
                       upload_text::tr("the SFTP service of %1 did not start").arg(host));
    return {};
}

transfer_error sftp_connection::failure(kind if_answered, kind if_lost,
                                        const QString& about) const {
    switch (watch.cut_for()) {
    case socket_watch::reason::limit:
        return {
            if_lost,
            upload_text::tr("%1: no reply within %2 s").arg(about).arg(watch.last_limit().count())};
    case socket_watch::reason::stopped:
        return {if_lost, upload_text::tr("%1: stopped").arg(about)};
    case socket_watch::reason::none:
        break;
    }
    const QString why = QString::fromUtf8(ssh_get_error(session.get()));
    return {ssh_is_connected(session.get()) ? if_answered : if_lost,
            about + QStringLiteral(": ") + why};
}

bool sftp_connection::lost() const {
    return watch.cut_for() != socket_watch::reason::none || !ssh_is_connected(session.get());
}
