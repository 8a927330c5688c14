#include "password_keyring.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>
#include <QUrl>
#include <qt6keychain/keychain.h>

namespace {

const QString service = QStringLiteral("ftp-publisher");

// QtKeychain would otherwise keep the password in a plain-text settings file of its own where it
// finds no keyring; ftpserver.ini then holds it instead, as the user is told.
template <class Job> Job* new_job(const QString& server_url, const QString& user_name) {
    auto* job = new Job(service);
    job->setInsecureFallback(false);
    job->setAutoDelete(true);
    job->setKey(keyring_account(server_url, user_name));
    return job;
}

} // namespace

QString keyring_account(const QString& server_url, const QString& user_name) {
    // ":" and "/" stay as they are, so that a keyring viewer shows the URL readably.
    const QByteArray readable = ":/";
    return QString::fromLatin1(QUrl::toPercentEncoding(user_name, readable) + '@' +
                               QUrl::toPercentEncoding(server_url, readable));
}

void bounded_keyring_job::start(QKeychain::Job* job, std::chrono::milliseconds bound) {
    running_ = true;
    connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job* done) {
        if (!running_)
            return;
        running_ = false;
        emit answered(done);
    });
    QTimer::singleShot(bound, this, [this] { running_ = false; });
    job->start();
}

void bounded_keyring_job::wait() {
    // Woken by the answer or by the bound's timer, both of them events.
    while (running_)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

password_lookup::password_lookup(QObject* parent) : QObject(parent), job(this) {
    connect(&job, &bounded_keyring_job::answered, this, [this](QKeychain::Job* done) {
        const auto* read = static_cast<QKeychain::ReadPasswordJob*>(done);
        if (read->error() == QKeychain::NoError && box && box->text() == text_at_start)
            box->setText(read->textData());
    });
}

void password_lookup::start(const QString& server_url, const QString& user_name, QLineEdit* box,
                            std::chrono::milliseconds bound) {
    this->box = box;
    text_at_start = box->text();
    job.start(new_job<QKeychain::ReadPasswordJob>(server_url, user_name), bound);
}

bool keep_in_keyring(const QString& server_url, const QString& user_name, const QString& password,
                     std::chrono::milliseconds bound) {
    QKeychain::Job* job;
    if (password.isEmpty()) {
        job = new_job<QKeychain::DeletePasswordJob>(server_url, user_name);
    } else {
        auto* write = new_job<QKeychain::WritePasswordJob>(server_url, user_name);
        write->setTextData(password);
        job = write;
    }
    bool kept = false;
    bounded_keyring_job bounded;
    QObject::connect(&bounded, &bounded_keyring_job::answered, &bounded,
                     [&kept, removing = password.isEmpty()](QKeychain::Job* done) {
                         kept = done->error() == QKeychain::NoError ||
                                (removing && done->error() == QKeychain::EntryNotFound);
                     });
    bounded.start(job, bound);
    bounded.wait();
    return kept;
}
