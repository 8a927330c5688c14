#include "ssh_login.h"

#include "ssh_agent_probe.h"
#include "upload_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <memory>
#include <type_traits>

using namespace std::chrono_literals;

namespace {

using kind = transfer_error::kind;

constexpr const char* default_keys[] = {"id_ed25519", "id_ecdsa", "id_rsa"};
// An agent is local: one that takes longer than this to list its keys does not answer.
constexpr std::chrono::seconds agent_limit = 3s;
// A signature may wait for a touch of a hardware key or a confirmation: given that long.
constexpr std::chrono::seconds agent_signature_limit = 10s;
constexpr int keyboard_interactive_rounds = 4;

struct key_deleter {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using key_handle = std::unique_ptr<std::remove_pointer_t<ssh_key>, key_deleter>;

// Asked for a key's passphrase: there is none to give, and none is asked for.
int no_passphrase(const char*, char*, size_t, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

class login final {
public:
    login(ssh_session session, const connection_plan& plan, socket_watch& watch)
        : session(session), plan(plan), watch(watch) {}

    transfer_error with_password();
    transfer_error with_keys();

private:
    template <class Call> int bounded(Call call) {
        watch.limit(plan.limits.reply_timeout);
        const int rc = call();
        watch.idle();
        return rc;
    }
    int keyboard_interactive();
    bool agent();
    bool key_file(const QString& path);

    ssh_session session;
    const connection_plan& plan;
    socket_watch& watch;
    QStringList tried;         // what did not log in, for the failure's text
    bool agent_silent = false; // an agent that may answer next time
};

transfer_error login::with_password() {
    int rc = bounded(
        [this] { return ssh_userauth_password(session, nullptr, plan.password.constData()); });
    if ((rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL) &&
        (ssh_userauth_list(session, nullptr) & SSH_AUTH_METHOD_INTERACTIVE))
        rc = keyboard_interactive();
    if (rc == SSH_AUTH_SUCCESS)
        return {};
    // Asked again, a host would refuse again, and may lock the account.
    return {kind::broken,
            upload_text::tr("the SFTP login at %1 was refused (user name or password wrong?): %2")
                .arg(plan.target.host, QString::fromUtf8(ssh_get_error(session))),
            true};
}

// The password answers every prompt that hides what is typed; one that shows it asks for
// something else, which we do not have.
int login::keyboard_interactive() {
    for (int round = 0; round < keyboard_interactive_rounds; ++round) {
        const int rc = bounded([this] { return ssh_userauth_kbdint(session, nullptr, nullptr); });
        if (rc != SSH_AUTH_INFO)
            return rc;
        for (int prompt = 0; prompt < ssh_userauth_kbdint_getnprompts(session); ++prompt) {
            char echo = 1;
            ssh_userauth_kbdint_getprompt(session, unsigned(prompt), &echo);
            if (echo ||
                ssh_userauth_kbdint_setanswer(session, unsigned(prompt), plan.password.constData()))
                return SSH_AUTH_DENIED;
        }
    }
    return SSH_AUTH_DENIED;
}

transfer_error login::with_keys() {
    if (agent())
        return {};
    const QString folder = plan.limits.ssh_folder.isEmpty()
                               ? QDir::homePath() + QStringLiteral("/.ssh")
                               : plan.limits.ssh_folder;
    for (const char* name : default_keys)
        if (key_file(folder + u'/' + QLatin1String(name)))
            return {};
    if (tried.isEmpty())
        tried << upload_text::tr(
                     "no SSH agent runs, and %1 holds no id_ed25519, id_ecdsa or id_rsa")
                     .arg(folder);
    return {kind::broken,
            upload_text::tr("the SFTP login at %1 as %2 was refused: without a "
                            "password only a key can log in, and none was accepted "
                            "(tried: %3)")
                .arg(plan.target.host, QString::fromUtf8(plan.user_name),
                     tried.join(QStringLiteral("; "))),
            !agent_silent};
}

bool login::agent() {
    if (plan.agent_socket.isEmpty())
        return false;
    if (!ssh_agent_answers(plan.agent_socket, std::min(agent_limit, plan.limits.reply_timeout))) {
        tried << upload_text::tr("the SSH agent, which did not answer");
        agent_silent = true;
        return false;
    }
    // Our own connection, handed to libssh: it waits for the agent's signature without a limit,
    // and only a socket of ours can be shut down when the agent takes too long.
    socket_handle connection = ssh_agent_connection(plan.agent_socket);
    if (connection.get() < 0) {
        tried << upload_text::tr("the SSH agent, which did not answer");
        return false;
    }
    socket_watch signing(connection.get(), watch.stop_flag());
    if (ssh_set_agent_socket(session, connection.get()) != SSH_OK)
        return false;
    connection.release(); // libssh closes it with the session
    signing.limit(agent_signature_limit);
    watch.limit(agent_signature_limit + plan.limits.reply_timeout);
    const int rc = ssh_userauth_agent(session, nullptr);
    watch.idle();
    signing.idle();
    if (rc == SSH_AUTH_SUCCESS)
        return true;
    agent_silent = signing.cut_for() == socket_watch::reason::limit;
    tried << (agent_silent ? upload_text::tr("the SSH agent, which did not sign within %1 s")
                                 .arg(agent_signature_limit.count())
                           : upload_text::tr("the keys of the SSH agent"));
    return false;
}

bool login::key_file(const QString& path) {
    if (!QFileInfo::exists(path))
        return false;
    ssh_key loaded = nullptr;
    bool asked = false;
    if (ssh_pki_import_privkey_file(QFile::encodeName(path).constData(), nullptr, no_passphrase,
                                    &asked, &loaded) != SSH_OK) {
        tried << (asked ? upload_text::tr("%1, which needs a passphrase (add it to the SSH agent "
                                          "with ssh-add)")
                        : upload_text::tr("%1, which cannot be read as a key"))
                     .arg(path);
        return false;
    }
    const key_handle key(loaded);
    if (bounded([&] { return ssh_userauth_publickey(session, nullptr, key.get()); }) ==
        SSH_AUTH_SUCCESS)
        return true;
    tried << path;
    return false;
}

} // namespace

transfer_error log_in(ssh_session session, const connection_plan& plan, socket_watch& watch) {
    login attempt(session, plan, watch);
    return plan.password.isEmpty() ? attempt.with_keys() : attempt.with_password();
}
