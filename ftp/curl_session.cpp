#include "curl_session.h"

#include "data_connection_drain.h"
#include "response_text.h"
#include "secure_failure_text.h"
#include "security_options.h"
#include "upload_text.h"

#include <chrono>
#include <utility>

namespace {

size_t keep_last_reply(char* data, size_t size, size_t count, void* user) {
    static_cast<curl_session*>(user)->heard(std::string_view(data, size * count));
    return size * count;
}

int abort_when_stopping(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic_bool*>(user)->load() ? 1 : 0;
}

// Ending a connection must never open one: a connection libcurl finds dead is not replaced.
curl_socket_t no_new_connection(void*, curlsocktype, curl_sockaddr*) {
    return CURL_SOCKET_BAD;
}

long milliseconds(std::chrono::seconds limit) {
    return static_cast<long>(std::chrono::milliseconds(limit).count());
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
    last_plan = for_plan;
    last_url = url;
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
        data_connections_need_draining()) {
        closing = {&stopping, plan->target.port};
        curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, close_draining_data_connections);
        curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, &closing);
    }
    return set_security_options(h, scheme, plan->ca_file, plan->tls_1_2_at_most);
}

void curl_session::end_connection(const std::atomic_bool& stopping) {
    // Taken: nothing of the login is kept beyond its connection.
    std::optional<connection_plan> ending = std::exchange(last_plan, std::nullopt);
    if (!ending || !connected())
        return;
    // The folder of the last exchange: without a file, an exchange sends no command of its own.
    if (start_exchange(*ending, last_url.left(last_url.lastIndexOf('/') + 1), stopping))
        return;
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, no_new_connection);
    curl_easy_perform(handle);
    curl_easy_reset(handle); // the password copied into the handle goes too
    plan = nullptr;
    last_plan.reset();
}

transfer_error curl_session::failure(CURLcode code, transfer_error::kind what) const {
    const QString said = QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    const QString secure = secure_failure_text(code, plan->target, said);
    QString text = secure.isEmpty() ? said : secure;
    if (!last_reply.isEmpty())
        text = upload_text::tr("%1; last server reply: %2").arg(text, last_reply);
    return {what, text};
}
