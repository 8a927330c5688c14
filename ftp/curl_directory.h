#pragma once

#include "curl_session.h"
#include "remote_directory.h"

#include <QFile>
#include <QString>
#include <atomic>

// Publishing's exchanges over libcurl in FTP, with or without TLS: each a transfer of its own on
// the session (so on its connection) in the page's remote directory.
// Names reach quoted commands raw: settings and command were checked for control characters
// before anything was sent. FTP commands name the whole path, as no exchange changes directory.
class curl_directory final : public remote_directory {
public:
    // `directory` is the remote one up to and with its last "/", or empty.
    curl_directory(curl_session& session, connection_plan& plan, const QString& directory,
                   QFile& file, const std::atomic_bool& stopping)
        : session(session), plan(plan), directory(directory), file(file), stopping(stopping) {}

    transfer_error store(const QString& name) override;
    transfer_result<std::int64_t> size_of(const QString& name) override;
    transfer_error rename(const QString& from, const QString& to) override;
    transfer_error remove(const QString& name) override;
    transfer_error create_folders(int levels) override;

private:
    enum class exchange_kind { store, size, quote };

    transfer_error exchange(exchange_kind what, const QString& name, curl_slist* commands = nullptr,
                            bool even_when_stopping = false);
    transfer_error make_folder(const QString& folder);
    bool folder_exists(const QString& folder);
    transfer_error::kind failure_kind(exchange_kind what, CURLcode code) const;
    bool retry_with_other_tls(exchange_kind what, CURLcode code, bool fresh);
    transfer_error::kind store_refusal_kind(CURLcode code) const;
    transfer_error set_binary_type(const QString& name);
    bool tls() const {
        return plan.target.scheme == url_scheme::ftpes || plan.target.scheme == url_scheme::ftps;
    }

    curl_session& session;
    connection_plan& plan;
    const QString directory;
    QFile& file;
    const std::atomic_bool& stopping;
    bool binary_type_set = false;
    bool fresh_connection = false; // the next exchange on a new connection
};
