#include "transfer_component.h"

#include "curl_directory.h"
#include "curl_session.h"
#include "put_command.h"
#include "response_text.h"
#include "safe_publish.h"
#include "sftp_connection.h"
#include "sftp_directory.h"
#include "transfer_target.h"
#include "trusted_bundle.h"
#include "upload_text.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTemporaryFile>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

// Each component has one worker thread that owns one libcurl session (or, for SFTP, one libssh
// connection) and carries out the queued commands in order. The easy interface is the simplest
// libcurl there is, and its connection cache keeps the PUT's connection open until CLOSE. The GUI
// thread only queues commands (with a copy of the settings) and receives each completion as a
// queued call, so the busy count and the response text change on the GUI thread alone, and every
// completion is a posted event that wakes a waiting event loop.

namespace {

using kind = transfer_error::kind;

struct connection_settings {
    QString url;
    QString user_name;
    QString password;
    std::uint16_t port = 21;
    QByteArray agent_socket; // SSH_AUTH_SOCK, read on the GUI thread, which may change the
                             // environment
    int new_folders = 0;
};

struct command {
    enum class kind { put, close } what;
    QString argument; // of a PUT: "<local> <remote>" as it came
    connection_settings settings;
};

struct outcome {
    bool replaces_response = false; // CLOSE keeps the text that describes the last PUT
    QString text;
    bool may_pass = false; // a failure that asking again later may mend
};

// `what` names the setting, marked for translation where it is given.
void refuse_control_characters(const QString& text, const char* what) {
    if (has_control_character(text))
        throw transfer_refused(
            //: %1 names the setting, such as "the user name".
            upload_text::tr("%1 contains a control character (such as CR, LF or NUL); refused")
                .arg(upload_text::tr(what))
                .toStdString());
}

// Found before any connection: asking again later changes nothing.
transfer_error broken(const QString& text) {
    return {kind::broken, text, true};
}

} // namespace

struct transfer_component::impl {
    impl(transfer_component* owner, transfer_options limits) : owner(owner), limits(limits) {}

    // The worker's side.
    void run();
    outcome carry_out(const command& next);
    transfer_result<QString> publish(const command& next);
    transfer_result<QString> publish_over_sftp(const connection_plan& plan, const put_paths& paths,
                                               QFile& file, int new_folders);
    // The extra CA file's certificates beside the system's, in one file written at the first
    // upload over TLS; empty when no extra file is given.
    transfer_result<QString> trusted_ca_file();
    void close_connection() {
        if (session && session->worth_keeping())
            session->end_connection(stopping);
        else
            session.reset();
        ssh.reset();
    }

    // The GUI thread's side.
    void post(command next);
    void finish(const outcome& result);

    transfer_component* const owner;
    const transfer_options limits;

    connection_settings settings;
    int outstanding = 0; // commands started and not yet finished
    QString response;
    bool may_pass = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<command> queue;
    std::deque<outcome> finished; // results the GUI thread has not taken yet
    std::atomic_bool stopping{false};
    std::unique_ptr<curl_session> session;      // worker only: FTP, with or without TLS
    std::unique_ptr<sftp_connection> ssh;       // worker only
    QByteArray ssh_login;                       // worker only: whose `ssh` is
    std::unique_ptr<QTemporaryFile> trusted;    // worker only
    std::map<QByteArray, server_habits> habits; // worker only: what each server was seen to do
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
        outcome result;
        try {
            result = carry_out(next);
        } catch (const std::exception& e) {
            // Out of memory, say: an exception must not end the program from this thread.
            result = {true, failed_upload_text(QString::fromUtf8(e.what()), next.settings.password),
                      false};
        }
        {
            const std::lock_guard lock(mutex);
            finished.push_back(std::move(result));
        }
        QMetaObject::invokeMethod(owner, "take_finished", Qt::QueuedConnection);
    }
    session.reset(); // QUIT on a connection still open, however briefly
    ssh.reset();
}

outcome transfer_component::impl::carry_out(const command& next) {
    if (next.what == command::kind::close) {
        close_connection();
        return {false, {}, false};
    }
    const transfer_result<QString> published = publish(next);
    if (published.value)
        return {true, *published.value, false};
    return {true, failed_upload_text(published.error.text, next.settings.password),
            !published.error.lasting};
}

// Everything the upload's exchanges share is prepared here, once.
transfer_result<QString> transfer_component::impl::publish(const command& next) {
    const std::optional<put_paths> paths = split_put_argument(
        next.argument, [](const QString& path) { return QFileInfo(path).isFile(); });
    if (!paths)
        return broken(upload_text::tr("local file not found: %1").arg(next.argument));
    QFile file(paths->local);
    if (!file.open(QIODevice::ReadOnly))
        return broken(upload_text::tr("local file cannot be read: %1: %2")
                          .arg(paths->local, file.errorString()));
    transfer_result<transfer_target> target =
        transfer_target_for(next.settings.url, next.settings.port);
    if (!target.value)
        return target.error;
    if (paths->page.isEmpty())
        return broken(upload_text::tr("the remote path names no file: %1")
                          .arg(paths->remote_directory + paths->page));

    connection_plan plan{std::move(*target.value),
                         next.settings.user_name.toUtf8(),
                         next.settings.password.toUtf8(),
                         limits,
                         {},
                         next.settings.agent_socket};
    const url_scheme scheme = plan.target.scheme;
    if (scheme == url_scheme::sftp)
        return publish_over_sftp(plan, *paths, file, next.settings.new_folders);

    if (!session)
        session = std::make_unique<curl_session>();
    if (!session->usable()) {
        session.reset();
        return broken(upload_text::tr("libcurl could not create a transfer handle"));
    }
    if (scheme == url_scheme::ftpes || scheme == url_scheme::ftps) {
        const transfer_result<QString> ca_file = trusted_ca_file();
        if (!ca_file.value)
            return ca_file.error;
        plan.ca_file = *ca_file.value;
    }
    server_habits& seen = habits[plan.target.origin];
    plan.tls_1_2_at_most = seen.tls_1_2_at_most;
    plan.login_per_upload = seen.login_per_upload;
    curl_directory directory(*session, plan, paths->remote_directory, file, stopping);
    transfer_result<QString> published =
        publish_page(directory, paths->page, file.size(), seen, next.settings.new_folders);
    seen.tls_1_2_at_most = plan.tls_1_2_at_most;
    seen.login_per_upload = plan.login_per_upload;
    return published;
}

// One SSH connection kept until CLOSE, as libcurl keeps FTP's: several PUTs before one CLOSE log
// in once. One for another server or account is not used.
transfer_result<QString> transfer_component::impl::publish_over_sftp(const connection_plan& plan,
                                                                     const put_paths& paths,
                                                                     QFile& file, int new_folders) {
    const QByteArray login = plan.target.origin + '\0' + plan.user_name + '\0' + plan.password;
    if (login != ssh_login)
        ssh.reset();
    ssh_login = login;
    sftp_directory directory(ssh, plan, stopping, paths.remote_directory, file);
    return publish_page(directory, paths.page, file.size(), habits[plan.target.origin],
                        new_folders);
}

transfer_result<QString> transfer_component::impl::trusted_ca_file() {
    if (limits.extra_ca_file.isEmpty() || trusted)
        return trusted ? trusted->fileName() : QString();
    const transfer_result<QByteArray> bundle = trusted_bundle(session->get(), limits.extra_ca_file);
    if (!bundle.value)
        return bundle.error;
    // A file rather than a blob: libcurl keeps a file's parsed certificates for the next
    // connection.
    auto file = std::make_unique<QTemporaryFile>();
    if (!file->open() || file->write(*bundle.value) != bundle.value->size() || !file->flush())
        return broken(upload_text::tr("the trusted certificates cannot be written: %1")
                          .arg(file->errorString()));
    trusted = std::move(file);
    return trusted->fileName();
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
    if (result.replaces_response) {
        response = result.text;
        may_pass = result.may_pass;
    }
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

void transfer_component::allow_new_folders(int levels) {
    d->settings.new_folders = levels;
}

void transfer_component::execute(const std::optional<QString>& url, const QString& command_text) {
    command next{command::kind::close, {}, d->settings};
    d->settings.new_folders = 0; // also when the command is refused: never left to the page's
    if (url) {
        refuse_control_characters(*url, QT_TRANSLATE_NOOP("upload", "the server URL"));
        next.settings.url = *url;
    }
    check_command(command_text);
    next.settings.agent_socket = qgetenv("SSH_AUTH_SOCK");
    if (command_text.startsWith(u"PUT ")) {
        next.what = command::kind::put;
        next.argument = command_text.mid(4);
    }
    d->post(std::move(next));
}

void transfer_component::check_command(const QString& command_text) {
    refuse_control_characters(command_text, QT_TRANSLATE_NOOP("upload", "the command"));
    if (!command_text.startsWith(u"PUT ") && command_text != u"CLOSE")
        throw transfer_refused(upload_text::tr("unknown command %1 (only PUT and CLOSE)")
                                   .arg(command_text.section(u' ', 0, 0).left(20))
                                   .toStdString());
}

bool transfer_component::still_executing() const {
    return d->outstanding > 0;
}

QString transfer_component::response_text() const {
    return d->response;
}

bool transfer_component::failure_may_pass() const {
    return d->may_pass;
}
