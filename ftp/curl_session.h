#pragma once

#include "connection_plan.h"
#include "data_connection_drain.h"
#include "transfer_error.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <curl/curl.h>
#include <optional>
#include <string_view>

// Owns one easy handle, its error buffer and what the last exchange heard of the server. The
// handle's connection and TLS session cache outlive each exchange, so one upload's exchanges
// share a connection. Of the replies only what is used is kept, however much a server says.
class curl_session final {
public:
    curl_session();
    ~curl_session(); // sends QUIT on a connection still open
    curl_session(const curl_session&) = delete;
    curl_session& operator=(const curl_session&) = delete;

    bool usable() const { return handle != nullptr; }
    CURL* get() const { return handle; }

    // Every option back to libcurl's default, then all that connecting to `url` for `plan` takes,
    // security included; an exchange aborts when `stopping` turns true. The plan must outlive the
    // exchange.
    transfer_error start_exchange(connection_plan& plan, const QByteArray& url,
                                  const std::atomic_bool& stopping);
    CURLcode perform() { return curl_easy_perform(handle); }
    // Whether the handle holds what a TLS upload would set up anew: its parsed CA store (kept for
    // a day, CURLOPT_CA_CACHE_TIMEOUT; the system's some 150 certificates take 25 ms to read)
    // and its TLS sessions. A handle used for plain FTP is worth nothing to keep: a fresh one
    // uploaded a few per cent faster here.
    bool worth_keeping() const { return last_plan && last_plan->target.scheme != url_scheme::ftp; }
    // Ends the connection the last exchange left open, with QUIT as the handle's end would, and
    // keeps the handle.
    void end_connection(const std::atomic_bool& stopping);
    // A failed exchange as the user reads it: libcurl's words, or plainer ones for a secure
    // connection, and the server's last reply.
    transfer_error failure(CURLcode code, transfer_error::kind what) const;

    bool saw_reply(int code) const { return codes_seen.test(static_cast<std::size_t>(code)); }
    // The number of the last exchange's "213 <digits>" reply: only SIZE answers so here.
    std::optional<std::int64_t> size_reply() const { return size_said; }
    // Whether the last exchange left its connection open for the next.
    bool connected() const;
    void heard(std::string_view line);

private:
    CURL* handle;
    connection_plan* plan = nullptr; // of the current exchange
    // The last exchange's plan and URL: the connection is found again by them.
    std::optional<connection_plan> last_plan;
    QByteArray last_url;
    data_connection_drain closing; // FTP over TLS: its data connections are drained
    std::optional<std::int64_t> size_said;
    char error[CURL_ERROR_SIZE] = {};
    QString last_reply;
    std::bitset<1000> codes_seen; // the three-digit reply codes of the last exchange
};
