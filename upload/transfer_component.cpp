#include "transfer_component.h"

#include "connection_options.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
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

const QString success_marker = QStringLiteral("erfolgreich");

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
    bool replaces_response; // CLOSE keeps the text that describes the last PUT
    QString text;
};

// Owns one easy handle; its error buffer and the server's last reply line live as long as it.
class curl_easy final {
public:
    curl_easy() : handle(curl_easy_init()) {
        if (!handle)
            throw std::runtime_error("libcurl could not create a transfer handle");
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    }
    ~curl_easy() { curl_easy_cleanup(handle); } // sends QUIT on a connection still open
    curl_easy(const curl_easy&) = delete;
    curl_easy& operator=(const curl_easy&) = delete;

    CURL* get() const { return handle; }
    void clear_error() {
        error[0] = '\0';
        last_reply.clear();
    }
    QString error_text(CURLcode code) const {
        return QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    }

    std::string last_reply;

private:
    CURL* handle;
    char error[CURL_ERROR_SIZE] = {};
};

bool has_control_character(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20; });
}

void refuse_control_characters(const QString& text, const char* what) {
    if (has_control_character(text))
        throw transfer_refused(std::string(what) +
                               " contains a control character (such as CR, LF or NUL); refused");
}

// A failure's text is read by people and judged by the marker: it never holds the password,
// and never the marker, whatever the server or a path said.
QString failure_text(QString text, const QString& password) {
    const auto mask = [&text, &password] {
        if (!password.isEmpty())
            text.replace(password, QStringLiteral("****"));
    };
    mask();
    text.replace(success_marker, success_marker.toUpper(), Qt::CaseInsensitive);
    mask();
    return text;
}

struct put_paths {
    QString local;
    QString remote;
};

// The local part is the text before the first blank for which it names a regular file, so
// blanks inside directory and page names keep working.
std::optional<put_paths> split_put_argument(const QString& argument) {
    for (qsizetype blank = argument.indexOf(u' '); blank >= 0;
         blank = argument.indexOf(u' ', blank + 1)) {
        const QString local = argument.left(blank);
        if (QFileInfo(local).isFile())
            return put_paths{local, argument.mid(blank + 1)};
    }
    return std::nullopt;
}

size_t keep_last_reply(char* data, size_t size, size_t count, void* user) {
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (!line.empty())
        static_cast<curl_easy*>(user)->last_reply = std::move(line);
    return size * count;
}

size_t read_file(char* buffer, size_t size, size_t count, void* user) {
    const qint64 got = static_cast<QFile*>(user)->read(buffer, static_cast<qint64>(size * count));
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

int abort_when_stopping(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic_bool*>(user)->load() ? 1 : 0;
}

// Options that every command of the connection needs; set each time, so nothing lingers.
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
    curl_easy_setopt(h, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, keep_last_reply);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &easy);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abort_when_stopping);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stopping);
}

void set_upload_options(curl_easy& easy, QFile* file) {
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, file ? read_file : nullptr);
    curl_easy_setopt(h, CURLOPT_READDATA, file);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(file ? file->size() : -1));
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
        const outcome result = carry_out(next);
        QMetaObject::invokeMethod(
            owner, [this, result] { finish(result); }, Qt::QueuedConnection);
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
        return {true, failure_text(QStringLiteral("upload failed: ") + QString::fromUtf8(e.what()),
                                   next.settings.password)};
    }
}

outcome transfer_component::impl::put(const command& next) {
    const QString& password = next.settings.password;
    const std::optional<put_paths> paths = split_put_argument(next.argument);
    if (!paths)
        return {true,
                failure_text(QStringLiteral("local file not found: ") + next.argument, password)};
    QFile file(paths->local);
    if (!file.open(QIODevice::ReadOnly))
        return {true, failure_text(QStringLiteral("local file cannot be read: %1: %2")
                                       .arg(paths->local, file.errorString()),
                                   password)};
    const target_result found =
        transfer_target_for(next.settings.url, next.settings.port, paths->remote);
    if (!found.target)
        return {true, failure_text(found.error, password)};
    const transfer_target& target = *found.target;

    if (!easy)
        easy = std::make_unique<curl_easy>();
    easy->clear_error();
    set_connection_options(*easy, next.settings, target.url, limits, stopping);
    QString refused;
    if (!set_scheme_options(easy->get(), target.scheme, limits.extra_ca_file, &refused))
        return {true, failure_text(QStringLiteral("upload failed: ") + refused, password)};
    std::optional<host_key_check> keys;
    if (target.scheme == url_scheme::sftp)
        keys.emplace(limits.known_hosts_file, target).set_on(easy->get());
    set_upload_options(*easy, &file);
    const CURLcode rc = curl_easy_perform(easy->get());
    set_upload_options(*easy, nullptr); // the file goes away now

    if (rc == CURLE_OK) {
        curl_off_t sent = 0;
        curl_easy_getinfo(easy->get(), CURLINFO_SIZE_UPLOAD_T, &sent);
        return {true, QStringLiteral("Übertragung erfolgreich: %1 Bytes").arg(sent)};
    }
    const QString secure =
        secure_failure_text(rc, target, easy->error_text(rc), keys ? &*keys : nullptr);
    QString text =
        QStringLiteral("upload failed: ") + (secure.isEmpty() ? easy->error_text(rc) : secure);
    if (!easy->last_reply.empty())
        text += QStringLiteral("; last server reply: ") +
                QString::fromUtf8(easy->last_reply.data(),
                                  static_cast<qsizetype>(easy->last_reply.size()));
    return {true, failure_text(text, password)};
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
        throw transfer_refused("access type " + std::to_string(access_type) +
                               " is not supported (only 0: the system's default way to the "
                               "network)");
}

void transfer_component::set_protocol(std::int32_t protocol) {
    if (protocol != 2)
        throw transfer_refused("protocol " + std::to_string(protocol) +
                               " is not supported (only 2: FTP)");
}

void transfer_component::set_remote_port(std::int16_t port) {
    d->settings.port = static_cast<std::uint16_t>(port);
}

void transfer_component::set_url(const QString& url) {
    refuse_control_characters(url, "the server URL");
    d->settings.url = url;
}

void transfer_component::set_user_name(const QString& user_name) {
    refuse_control_characters(user_name, "the user name");
    d->settings.user_name = user_name;
}

void transfer_component::set_password(const QString& password) {
    refuse_control_characters(password, "the password");
    d->settings.password = password;
}

void transfer_component::execute(const std::optional<QString>& url, const QString& command_text) {
    command next{command::kind::close, {}, d->settings};
    if (url) {
        refuse_control_characters(*url, "the server URL");
        next.settings.url = *url;
    }
    refuse_control_characters(command_text, "the command");
    if (command_text.startsWith(u"PUT ")) {
        next.what = command::kind::put;
        next.argument = command_text.mid(4);
    } else if (command_text != u"CLOSE") {
        throw transfer_refused("unknown command " +
                               command_text.section(u' ', 0, 0).left(20).toStdString() +
                               " (only PUT and CLOSE)");
    }
    d->post(std::move(next));
}

bool transfer_component::still_executing() const {
    return d->outstanding > 0;
}

QString transfer_component::response_text() const {
    return d->response;
}
