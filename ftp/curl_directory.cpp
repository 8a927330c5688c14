#include "curl_directory.h"

#include "upload_text.h"

#include <memory>
#include <utility>

namespace {

using kind = transfer_error::kind;

size_t read_file(char* buffer, size_t size, size_t count, void* user) {
    const qint64 got = static_cast<QFile*>(user)->read(buffer, static_cast<qint64>(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

struct quote_list {
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list{nullptr, curl_slist_free_all};
    void add(const QString& command) {
        list.reset(curl_slist_append(list.release(), command.toUtf8().constData()));
    }
};

} // namespace

// One transfer on `name` in the directory (on the directory itself when empty), its options all
// set from libcurl's defaults, so nothing of an earlier exchange lingers.
transfer_error curl_directory::exchange(exchange_kind what, const QString& name,
                                        curl_slist* commands, bool even_when_stopping) {
    if (transfer_error refused =
            session.start_exchange(plan, plan.target.url_of(directory + name), stopping))
        return refused;
    CURL* h = session.get();
    switch (what) {
    case exchange_kind::store:
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_file);
        curl_easy_setopt(h, CURLOPT_READDATA, &file);
        // A connection that ends early is then an error, not a silently short file.
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
        break;
    case exchange_kind::size:
        // SIZE's reply arrives as a header, which libcurl also writes as data.
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
        break;
    case exchange_kind::quote:
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(h, CURLOPT_POSTQUOTE, commands);
        break;
    }
    // Cleaning up after an aborted upload still runs while the component goes away, briefly.
    static const std::atomic_bool never{false};
    if (even_when_stopping && stopping) {
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &never);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 2000L);
    }
    const bool fresh = std::exchange(fresh_connection, false) ||
                       (plan.login_per_upload && what == exchange_kind::store);
    if (fresh)
        curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    const CURLcode code = session.perform();
    if (code == CURLE_OK)
        return {};
    if (retry_with_other_tls(what, code, fresh)) {
        fresh_connection = true;
        if (what == exchange_kind::store && !file.seek(0))
            return {kind::broken,
                    upload_text::tr("local file cannot be read: %1").arg(file.errorString())};
        return exchange(what, name, commands, even_when_stopping);
    }
    transfer_error failed = session.failure(code, failure_kind(what, code));
    long reply = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
    // A certificate that was not trusted will not be trusted when asked again either.
    failed.lasting = (reply >= 500 && reply < 600) || code == CURLE_PEER_FAILED_VERIFICATION ||
                     code == CURLE_SSL_CACERT_BADFILE || code == CURLE_LOGIN_DENIED;
    return failed;
}

// A server that wants each data connection to resume the control connection's TLS session
// refuses the second upload's (522, or 425 from ProFTPD) under TLS 1.3, whose tickets serve
// once. Nothing was written: once more over a new connection, with TLS 1.2, whose sessions resume
// again and again on most servers; where the server will not speak TLS 1.2, or refuses that too,
// with a login for each upload.
bool curl_directory::retry_with_other_tls(exchange_kind what, CURLcode code, bool fresh) {
    if (!tls())
        return false;
    // Some refuse with a reply; ProFTPD, under load, may answer 150 and then drop the data
    // connection before a byte of the file went through it.
    curl_off_t sent = 0;
    curl_easy_getinfo(session.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
    const bool refused =
        session.saw_reply(522) || session.saw_reply(425) ||
        (what == exchange_kind::store && sent == 0 && session.saw_reply(150) &&
         (code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_SSL_CONNECT_ERROR));
    if (!fresh && !plan.login_per_upload && refused) {
        // Refused under TLS 1.2 as well: its tickets too serve once on some servers.
        plan.login_per_upload = plan.tls_1_2_at_most;
        plan.tls_1_2_at_most = !plan.tls_1_2_at_most;
        return true;
    }
    if (fresh && plan.tls_1_2_at_most && code == CURLE_SSL_CONNECT_ERROR) {
        plan.tls_1_2_at_most = false;
        plan.login_per_upload = true;
        return true;
    }
    return false;
}

transfer_error::kind curl_directory::failure_kind(exchange_kind what, CURLcode code) const {
    switch (what) {
    case exchange_kind::store:
        if (file.pos() > 0 || session.saw_reply(150) || session.saw_reply(125))
            return kind::cut;
        return store_refusal_kind(code);
    case exchange_kind::size:
    case exchange_kind::quote:
        break;
    }
    // Anything but the server's "no": the command may have been carried out unanswered.
    return code == CURLE_QUOTE_ERROR ? kind::refused : kind::lost;
}

// Only a refusal of the name itself lets the page go directly under its live name: a server
// short of space, busy or closing could refuse again half-way through the live page.
transfer_error::kind curl_directory::store_refusal_kind(CURLcode code) const {
    if (code != CURLE_UPLOAD_FAILED) // STOR answered with an error
        return kind::broken;
    long reply = 0;
    curl_easy_getinfo(session.get(), CURLINFO_RESPONSE_CODE, &reply);
    // 553: a name not allowed; 550: a file the server will not create, such as a hidden one.
    return reply == 553 || reply == 550 ? kind::name_refused : kind::refused;
}

// libcurl 7.88.1 starts the TLS handshake of a data connection right after EPSV, then sends
// TYPE I and, until that handshake is done, polls only the data socket. The server answers the
// handshake only after STOR, which waits for the reply to TYPE I: nothing moves until a timer
// wakes libcurl, about 200 ms later. On a connection that has TYPE I already, libcurl goes from
// EPSV straight to STOR; a size query sets it: TYPE I, then SIZE of the name not yet stored,
// which ends it (550). A failure only when that left no connection: nothing was stored.
transfer_error curl_directory::set_binary_type(const QString& name) {
    binary_type_set = true;
    transfer_error failed = exchange(exchange_kind::size, name);
    if (!failed || session.connected())
        return {};
    failed.what = kind::broken;
    return failed;
}

transfer_error curl_directory::store(const QString& name) {
    if (!file.seek(0))
        return {kind::broken,
                upload_text::tr("local file cannot be read: %1").arg(file.errorString())};
    if (tls() && !binary_type_set)
        if (transfer_error failed = set_binary_type(name))
            return failed;
    return exchange(exchange_kind::store, name);
}

transfer_result<std::int64_t> curl_directory::size_of(const QString& name) {
    // SIZE alone, its reply read here: libcurl's own size query adds a REST 0.
    quote_list commands;
    commands.add(QStringLiteral("SIZE ") + directory + name);
    const transfer_error asked = exchange(exchange_kind::quote, QString(), commands.list.get());
    if (!asked && session.size_reply())
        return *session.size_reply();
    if (asked.what == kind::lost)
        return asked;
    // Refused, or answered in words of its own: libcurl's reading is more lenient.
    if (transfer_error failed = exchange(exchange_kind::size, name))
        return failed;
    curl_off_t size = -1;
    curl_easy_getinfo(session.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    if (size < 0)
        return transfer_error{kind::refused, upload_text::tr("the server does not tell the size")};
    return std::int64_t(size);
}

transfer_error curl_directory::rename(const QString& from, const QString& to) {
    quote_list commands;
    commands.add(QStringLiteral("RNFR ") + directory + from);
    commands.add(QStringLiteral("RNTO ") + directory + to);
    transfer_error renamed = exchange(exchange_kind::quote, QString(), commands.list.get());
    // Without its "350" the server refused the source name itself.
    if (renamed.what == kind::refused && !session.saw_reply(350))
        renamed.what = kind::name_refused;
    return renamed;
}

transfer_error curl_directory::remove(const QString& name) {
    quote_list commands;
    commands.add(QStringLiteral("DELE ") + directory + name);
    return exchange(exchange_kind::quote, QString(), commands.list.get(), true);
}

transfer_error curl_directory::create_folders(int levels) {
    for (const QString& folder : last_folders(directory, levels))
        if (transfer_error failed = make_folder(folder))
            return failed;
    return {};
}

transfer_error curl_directory::make_folder(const QString& folder) {
    quote_list commands;
    commands.add(QStringLiteral("MKD ") + folder);
    transfer_error made = exchange(exchange_kind::quote, QString(), commands.list.get());
    // Servers refuse a folder that exists as they refuse any other: asked apart.
    if (!made || (made.what == kind::refused && folder_exists(folder)))
        return {};
    made.text = upload_text::tr("the folder %1 cannot be created: %2").arg(folder, made.text);
    return made;
}

bool curl_directory::folder_exists(const QString& folder) {
    // Into it and back: our exchanges name whole paths, and relative ones start at the login
    // folder.
    const char* login_folder = nullptr;
    curl_easy_getinfo(session.get(), CURLINFO_FTP_ENTRY_PATH, &login_folder);
    if (!login_folder)
        return false;
    quote_list commands;
    commands.add(QStringLiteral("CWD ") + folder);
    commands.add(QStringLiteral("CWD ") + QString::fromUtf8(login_folder));
    return !exchange(exchange_kind::quote, QString(), commands.list.get());
}
