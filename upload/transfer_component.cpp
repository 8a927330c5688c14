#include "transfer_component.h"

#include "connection_options.h"
#include "put_command.h"
#include "response_text.h"
#include "safe_publish.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <bitset>
#include <condition_variable>
#include <curl/curl.h>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Each component has one worker thread that owns one libcurl easy handle and carries out the
// queued commands in order. The easy interface is the simplest libcurl there is, and its
// connection cache keeps the PUT's connection open until CLOSE. The GUI thread only queues
// commands (with a copy of the settings) and receives each completion as a queued call, so the
// busy count and the response text change on the GUI thread alone, and every completion is a
// posted event that wakes a waiting event loop.

namespace {

struct upload_text final {
    Q_DECLARE_TR_FUNCTIONS(upload)
};

struct connection_settings {
    QString url;
    QString user_name;
    QString password;
    std::uint16_t port = 21;
};

struct command {
    enum class kind { put, close } what;
    QString argument; // of a PUT: "<local> <remote>" as it came
    connection_settings settings;
};

struct outcome {
    bool replaces_response = false; // CLOSE keeps the text that describes the last PUT
    QString text;
};

// Owns one easy handle; its error buffer and what the last exchange heard of the server live as
// long as it. Of the replies only what is used is kept, however much a server says.
class curl_easy final {
public:
    curl_easy() : handle(curl_easy_init()) {
        if (!handle)
            throw std::runtime_error(
                upload_text::tr("libcurl could not create a transfer handle").toStdString());
    }
    ~curl_easy() { curl_easy_cleanup(handle); } // sends QUIT on a connection still open
    curl_easy(const curl_easy&) = delete;
    curl_easy& operator=(const curl_easy&) = delete;

    CURL* get() const { return handle; }
    // Every option back to libcurl's default; the open connection and the TLS session cache stay.
    void start_exchange() {
        curl_easy_reset(handle);
        error[0] = '\0';
        last_reply.clear();
        codes_seen.reset();
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    }
    QString error_text(CURLcode code) const {
        return QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    }

    bool saw_reply(int code) const { return codes_seen.test(static_cast<std::size_t>(code)); }
    void heard(std::string_view line);

    QString last_reply;

private:
    CURL* handle;
    char error[CURL_ERROR_SIZE] = {};
    std::bitset<1000> codes_seen; // the three-digit reply codes of the last exchange
};

void curl_easy::heard(std::string_view line) {
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
}

bool has_control_character(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20; });
}

// `what` names the setting, marked for translation where it is given.
void refuse_control_characters(const QString& text, const char* what) {
    if (has_control_character(text))
        throw transfer_refused(
            //: %1 names the setting, such as "the user name".
            upload_text::tr("%1 contains a control character (such as CR, LF or NUL); refused")
                .arg(upload_text::tr(what))
                .toStdString());
}

size_t keep_last_reply(char* data, size_t size, size_t count, void* user) {
    static_cast<curl_easy*>(user)->heard(std::string_view(data, size * count));
    return size * count;
}

size_t read_file(char* buffer, size_t size, size_t count, void* user) {
    const qint64 got = static_cast<QFile*>(user)->read(buffer, static_cast<qint64>(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

int abort_when_stopping(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic_bool*>(user)->load() ? 1 : 0;
}

// Options that every exchange of the connection needs.
void set_connection_options(curl_easy& easy, const connection_settings& settings,
                            const QByteArray& url, const transfer_options& limits,
                            const std::atomic_bool& stopping) {
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L); // the server reads the path as written
    curl_easy_setopt(h, CURLOPT_USERNAME, settings.user_name.toUtf8().constData());
    curl_easy_setopt(h, CURLOPT_PASSWORD, settings.password.toUtf8().constData());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::chrono::milliseconds(limits.connect_timeout).count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     static_cast<long>(limits.reply_timeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stall_time.count()));
    // NAT routers drop a control connection that stays silent through a long upload.
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L); // the page arrives byte for byte
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, keep_last_reply);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &easy);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abort_when_stopping);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stopping);
}

QString transfer_failure(const curl_easy& easy, CURLcode rc, const transfer_target& target,
                         const host_key_check* keys) {
    const QString secure = secure_failure_text(rc, target, easy.error_text(rc), keys);
    QString text = secure.isEmpty() ? easy.error_text(rc) : secure;
    if (!easy.last_reply.isEmpty())
        text = upload_text::tr("%1; last server reply: %2").arg(text, easy.last_reply);
    return text;
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

// A path in an SFTP quote command, where blanks would split it.
QString sftp_quoted(QString path) {
    path.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    return u'"' + path + u'"';
}

enum class exchange_kind { store, size, quote };

// Publishing's exchanges, each a transfer of its own on the PUT's handle (so on its connection)
// in the page's remote directory. Names reach quoted commands raw: settings and command were
// checked for control characters before anything was sent.
class curl_directory final : public remote_directory {
public:
    curl_directory(curl_easy& easy, const connection_settings& settings, const QString& directory,
                   QFile& file, const transfer_options& limits, const std::atomic_bool& stopping,
                   const QByteArray& ca_bundle, host_key_check* keys)
        : easy(easy), settings(settings), directory(directory), file(file), limits(limits),
          stopping(stopping), ca_bundle(ca_bundle), keys(keys) {}

    step_result store(const QString& name) override;
    std::optional<std::int64_t> size_of(const QString& name) override;
    step_result rename(const QString& from, const QString& to) override;
    step_result remove(const QString& name) override;
    QString last_failure() const override { return failure; }

private:
    CURLcode exchange(exchange_kind what, const QString& name, const quote_list* commands = nullptr,
                      bool even_when_stopping = false);
    step_result quoted(const quote_list& commands, bool even_when_stopping = false);
    bool sftp() const { return scheme == url_scheme::sftp; }

    curl_easy& easy;
    const connection_settings& settings;
    const QString directory; // up to and with its last "/", or empty
    QFile& file;
    const transfer_options& limits;
    const std::atomic_bool& stopping;
    const QByteArray& ca_bundle;
    host_key_check* keys;
    url_scheme scheme = url_scheme::ftp;
    QString failure;
};

// One transfer on `name` in the directory (on the directory itself when empty), its options all
// set here from libcurl's defaults, so nothing of an earlier exchange lingers.
CURLcode curl_directory::exchange(exchange_kind what, const QString& name,
                                  const quote_list* commands, bool even_when_stopping) {
    const target_result found = transfer_target_for(settings.url, settings.port, directory + name);
    if (!found.target) {
        failure = found.error;
        return CURLE_URL_MALFORMAT;
    }
    scheme = found.target->scheme;
    easy.start_exchange();
    CURL* h = easy.get();
    set_connection_options(easy, settings, found.target->url, limits, stopping);
    if (const QString refused = set_security_options(h, scheme, ca_bundle, keys);
        !refused.isEmpty()) {
        failure = refused;
        return CURLE_NOT_BUILT_IN;
    }
    switch (what) {
    case exchange_kind::store:
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_file);
        curl_easy_setopt(h, CURLOPT_READDATA, &file);
        // A connection that ends early is then an error, not a silently short file.
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
        break;
    case exchange_kind::size:
        // FTP's SIZE and SFTP's stat both arrive as a header, which libcurl also writes as data.
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
        break;
    case exchange_kind::quote:
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(h, CURLOPT_POSTQUOTE, commands->list.get());
        break;
    }
    // Cleaning up after an aborted upload still runs while the component goes away, briefly.
    static const std::atomic_bool never{false};
    if (even_when_stopping && stopping) {
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &never);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 2000L);
    }
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK)
        failure = transfer_failure(easy, rc, *found.target, keys);
    return rc;
}

step_result curl_directory::store(const QString& name) {
    if (!file.seek(0)) {
        failure = upload_text::tr("local file cannot be read: %1").arg(file.errorString());
        return step_result::broken;
    }
    const CURLcode rc = exchange(exchange_kind::store, name);
    if (rc == CURLE_OK)
        return step_result::done;
    if (file.pos() > 0 || easy.saw_reply(150) || easy.saw_reply(125))
        return step_result::cut;
    switch (rc) {
    case CURLE_UPLOAD_FAILED:        // FTP: STOR answered with an error
    case CURLE_REMOTE_ACCESS_DENIED: // SFTP: the name or the directory is not writable
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return step_result::refused;
    default:
        return step_result::broken;
    }
}

std::optional<std::int64_t> curl_directory::size_of(const QString& name) {
    const CURLcode rc = exchange(exchange_kind::size, name);
    curl_off_t size = -1;
    if (rc == CURLE_OK)
        curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    if (rc == CURLE_OK && size < 0)
        failure = upload_text::tr("the server does not tell the size");
    return size < 0 ? std::nullopt : std::optional<std::int64_t>(size);
}

step_result curl_directory::quoted(const quote_list& commands, bool even_when_stopping) {
    const CURLcode rc = exchange(exchange_kind::quote, QString(), &commands, even_when_stopping);
    if (rc == CURLE_OK)
        return step_result::done;
    return rc == CURLE_QUOTE_ERROR ? step_result::refused : step_result::broken;
}

step_result curl_directory::rename(const QString& from, const QString& to) {
    quote_list commands;
    if (sftp()) {
        // One request: a refusal cannot tell the source name from the target.
        commands.add(QStringLiteral("rename %1 %2")
                         .arg(sftp_quoted(directory + from), sftp_quoted(directory + to)));
        return quoted(commands);
    }
    commands.add(QStringLiteral("RNFR ") + from);
    commands.add(QStringLiteral("RNTO ") + to);
    const step_result renamed = quoted(commands);
    // Without its "350" the server refused the source name itself.
    if (renamed == step_result::refused && !easy.saw_reply(350))
        return step_result::name_refused;
    return renamed;
}

step_result curl_directory::remove(const QString& name) {
    quote_list commands;
    commands.add(sftp() ? QStringLiteral("rm ") + sftp_quoted(directory + name)
                        : QStringLiteral("DELE ") + name);
    return quoted(commands, true);
}

} // namespace

struct transfer_component::impl {
    impl(transfer_component* owner, transfer_options limits) : owner(owner), limits(limits) {}

    // The worker's side.
    void run();
    outcome carry_out(const command& next);
    outcome put(const command& next);
    void close_connection() { easy.reset(); }

    // The GUI thread's side.
    void post(command next);
    void finish(const outcome& result);

    transfer_component* const owner;
    const transfer_options limits;

    connection_settings settings;
    int outstanding = 0; // commands started and not yet finished
    QString response;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<command> queue;
    std::deque<outcome> finished; // results the GUI thread has not taken yet
    std::atomic_bool stopping{false};
    std::unique_ptr<curl_easy> easy; // worker only
    std::thread worker;
};

void transfer_component::impl::run() {
    for (;;) {
        command next;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                break;
            next = std::move(queue.front());
            queue.pop_front();
        }
        outcome result = carry_out(next);
        {
            const std::lock_guard lock(mutex);
            finished.push_back(std::move(result));
        }
        QMetaObject::invokeMethod(owner, "take_finished", Qt::QueuedConnection);
    }
    close_connection();
}

outcome transfer_component::impl::carry_out(const command& next) {
    try {
        if (next.what == command::kind::close) {
            close_connection();
            return {false, {}};
        }
        return put(next);
    } catch (const std::exception& e) {
        return {true,
                failure_text(upload_text::tr("upload failed: %1").arg(QString::fromUtf8(e.what())),
                             next.settings.password)};
    }
}

outcome transfer_component::impl::put(const command& next) {
    const auto failed = [&next](const QString& text) {
        return outcome{true, failure_text(text, next.settings.password)};
    };
    const std::optional<put_paths> paths = split_put_argument(
        next.argument, [](const QString& path) { return QFileInfo(path).isFile(); });
    if (!paths)
        return failed(upload_text::tr("local file not found: %1").arg(next.argument));
    QFile file(paths->local);
    if (!file.open(QIODevice::ReadOnly))
        return failed(upload_text::tr("local file cannot be read: %1: %2")
                          .arg(paths->local, file.errorString()));
    const QString remote = paths->remote_directory + paths->page;
    const target_result found = transfer_target_for(next.settings.url, next.settings.port, remote);
    if (!found.target)
        return failed(found.error);
    const transfer_target& target = *found.target;
    if (paths->page.isEmpty())
        return failed(upload_text::tr("upload failed: %1")
                          .arg(upload_text::tr("the remote path names no file: %1").arg(remote)));

    if (!easy)
        easy = std::make_unique<curl_easy>();
    QByteArray ca_bundle;
    QString unreadable;
    const bool tls = target.scheme == url_scheme::ftpes || target.scheme == url_scheme::ftps;
    if (tls && !read_trusted_bundle(easy->get(), limits.extra_ca_file, &ca_bundle, &unreadable))
        return failed(upload_text::tr("upload failed: %1").arg(unreadable));
    std::optional<host_key_check> keys;
    if (target.scheme == url_scheme::sftp)
        keys.emplace(limits.known_hosts_file, target);

    curl_directory directory(*easy, next.settings, paths->remote_directory, file, limits, stopping,
                             ca_bundle, keys ? &*keys : nullptr);
    const publish_outcome published = publish_page(directory, paths->page, file.size());
    return published.verified ? outcome{true, published.text} : failed(published.text);
}

void transfer_component::impl::post(command next) {
    ++outstanding;
    {
        const std::lock_guard lock(mutex);
        queue.push_back(std::move(next));
    }
    wake.notify_one();
}

void transfer_component::impl::finish(const outcome& result) {
    if (result.replaces_response)
        response = result.text;
    --outstanding;
    emit owner->command_finished();
}

void transfer_component::take_finished() {
    for (;;) {
        outcome result;
        {
            const std::lock_guard lock(d->mutex);
            if (d->finished.empty())
                return;
            result = std::move(d->finished.front());
            d->finished.pop_front();
        }
        d->finish(result);
    }
}

transfer_component::transfer_component(transfer_options options, QObject* parent)
    : QObject(parent), d(std::make_unique<impl>(this, options)) {
    d->worker = std::thread([this] { d->run(); });
}

transfer_component::~transfer_component() {
    // A running transfer is aborted and queued commands are dropped; an open connection still
    // gets its QUIT.
    {
        const std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_one();
    d->worker.join();
}

void transfer_component::set_access_type(std::int32_t access_type) {
    if (access_type != 0)
        throw transfer_refused(upload_text::tr("access type %1 is not supported (only 0: the "
                                               "system's default way to the network)")
                                   .arg(access_type)
                                   .toStdString());
}

void transfer_component::set_protocol(std::int32_t protocol) {
    if (protocol != 2)
        throw transfer_refused(upload_text::tr("protocol %1 is not supported (only 2: FTP)")
                                   .arg(protocol)
                                   .toStdString());
}

void transfer_component::set_remote_port(std::int16_t port) {
    d->settings.port = static_cast<std::uint16_t>(port);
}

void transfer_component::set_url(const QString& url) {
    refuse_control_characters(url, QT_TRANSLATE_NOOP("upload", "the server URL"));
    d->settings.url = url;
}

void transfer_component::set_user_name(const QString& user_name) {
    refuse_control_characters(user_name, QT_TRANSLATE_NOOP("upload", "the user name"));
    d->settings.user_name = user_name;
}

void transfer_component::set_password(const QString& password) {
    refuse_control_characters(password, QT_TRANSLATE_NOOP("upload", "the password"));
    d->settings.password = password;
}

void transfer_component::execute(const std::optional<QString>& url, const QString& command_text) {
    command next{command::kind::close, {}, d->settings};
    if (url) {
        refuse_control_characters(*url, QT_TRANSLATE_NOOP("upload", "the server URL"));
        next.settings.url = *url;
    }
    refuse_control_characters(command_text, QT_TRANSLATE_NOOP("upload", "the command"));
    if (command_text.startsWith(u"PUT ")) {
        next.what = command::kind::put;
        next.argument = command_text.mid(4);
    } else if (command_text != u"CLOSE") {
        throw transfer_refused(upload_text::tr("unknown command %1 (only PUT and CLOSE)")
                                   .arg(command_text.section(u' ', 0, 0).left(20))
                                   .toStdString());
    }
    d->post(std::move(next));
}

bool transfer_component::still_executing() const {
    return d->outstanding > 0;
}

QString transfer_component::response_text() const {
    return d->response;
}
