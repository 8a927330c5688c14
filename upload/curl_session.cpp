#include "curl_session.h"

#include "response_text.h"
#include "upload_text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

size_t keep_last_reply(char* data, size_t size, size_t count, void* user) {
    static_cast<curl_session*>(user)->heard(std::string_view(data, size * count));
    return size * count;
}

int abort_when_stopping(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic_bool*>(user)->load() ? 1 : 0;
}

long milliseconds(std::chrono::seconds limit) {
    return static_cast<long>(std::chrono::milliseconds(limit).count());
}

// A connected socket whose peer is not on the control connection's port: a data connection.
bool is_data_connection(curl_socket_t socket, std::uint16_t control_port) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return false;
    std::uint16_t port = control_port;
    if (peer.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    return port != control_port;
}

// Sends the end of our stream and reads what the server still sends until it closes its side,
// for two seconds at most; stops at once when the component goes away.
void drain(curl_socket_t socket, const std::atomic_bool& stopping) {
    if (::shutdown(socket, SHUT_WR) != 0)
        return;
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(2);
    char buffer[4096];
    while (!stopping) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return;
        pollfd ready{socket, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (polled < 0 && errno != EINTR)
            return;
        if (polled <= 0)
            continue;
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

// libcurl before 8.9.0 closes an FTP data connection over TLS with the server's TLS 1.3 session
// ticket unread in it; the kernel answers that with a reset, and the server loses the end of the
// upload (vsftpd: "426 Failure reading network stream"). Drained, it ends in order, at no cost:
// the server sends its 226 only after its own close.
int close_socket(void* user, curl_socket_t socket) {
    const auto& closing = *static_cast<const curl_session::socket_closing*>(user);
    if (!closing.stopping->load() && is_data_connection(socket, closing.control_port))
        drain(socket, *closing.stopping);
    return ::close(socket);
}

bool drains_data_connections_itself() {
    return curl_version_info(CURLVERSION_NOW)->version_num >= 0x080900;
}

// The digits of "213 <digits>", SIZE's answer; nothing for any other line.
std::optional<std::int64_t> size_in(std::string_view line) {
    if (line.size() <= 4 || line.size() > 4 + 18 || line.substr(0, 4) != "213 ")
        return std::nullopt;
    std::int64_t size = 0;
    for (const char c : line.substr(4)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        size = size * 10 + (c - '0');
    }
    return size;
}

} // namespace

curl_session::curl_session() : handle(curl_easy_init()) {
}

curl_session::~curl_session() {
    curl_easy_cleanup(handle);
}

void curl_session::heard(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.empty())
        return;
    const auto digit = [&line](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
    if (line.size() >= 3 && digit(0) && digit(1) && digit(2) &&
        (line.size() == 3 || line[3] == ' ' || line[3] == '-'))
        codes_seen.set(static_cast<std::size_t>((line[0] - '0') * 100 + (line[1] - '0') * 10 +
                                                (line[2] - '0')));
    last_reply = server_text(line);
    if (const std::optional<std::int64_t> size = size_in(line))
        size_said = size;
}

bool curl_session::connected() const {
    curl_socket_t socket = CURL_SOCKET_BAD;
    return curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
           socket != CURL_SOCKET_BAD;
}

transfer_error curl_session::start_exchange(connection_plan& for_plan, const QByteArray& url,
                                            const std::atomic_bool& stopping) {
    // The open connection and the TLS session cache survive the reset.
    curl_easy_reset(handle);
    plan = &for_plan;
    error[0] = '\0';
    last_reply.clear();
    size_said.reset();
    codes_seen.reset();
    CURL* h = handle;
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L); // the server reads the path as written
    // The whole path in each command: a CWD for every directory costs a round trip each.
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(h, CURLOPT_USERNAME, plan->user_name.constData());
    curl_easy_setopt(h, CURLOPT_PASSWORD, plan->password.constData());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(plan->limits.connect_timeout));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     static_cast<long>(plan->limits.reply_timeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(plan->limits.stall_time.count()));
    // NAT routers drop a control connection that stays silent through a long upload.
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L); // the page arrives byte for byte
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, keep_last_reply);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abort_when_stopping);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stopping);
    const url_scheme scheme = plan->target.scheme;
    if ((scheme == url_scheme::ftpes || scheme == url_scheme::ftps) &&
        !drains_data_connections_itself()) {
        closing = {&stopping, plan->target.port};
        curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, close_socket);
        curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, &closing);
    }
    return set_security_options(h, scheme, plan->ca_file, plan->keys ? &*plan->keys : nullptr);
}

transfer_error curl_session::failure(CURLcode code, transfer_error::kind what) const {
    const QString said = QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    const QString secure =
        secure_failure_text(code, plan->target, said, plan->keys ? &*plan->keys : nullptr);
    QString text = secure.isEmpty() ? said : secure;
    if (!last_reply.isEmpty())
        text = upload_text::tr("%1; last server reply: %2").arg(text, last_reply);
    return {what, text};
}
