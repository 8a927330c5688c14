#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>

class QLineEdit;
namespace QKeychain {
class Job;
}

// The password of one server URL and user name in the desktop's keyring (the Secret Service, or
// KDE's wallet), through QtKeychain, never through a plain-text store of its own.

// The keyring's account name for a site: both texts percent-encoded around the one bare "@", so
// that no two pairs share a name, whatever they hold (empty, "@", "%", very long).
QString keyring_account(const QString& server_url, const QString& user_name);

// One keyring job that ends for us when it answers or when its bound passes, whichever comes
// first; a later answer is dropped. Used once. The job itself lives on until the keyring
// answers: it must not be deleted while its request is out.
class bounded_keyring_job final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Takes `job` (not yet started) and starts it.
    void start(QKeychain::Job* job, std::chrono::milliseconds bound);
    // Processes events until the job has ended for us.
    void wait();
    bool running() const { return running_; }

signals:
    void answered(QKeychain::Job* job);

private:
    bool running_ = false;
};

// The look-up at start: fills `box` with the keyring's password, unless the box was typed in
// meanwhile. Not found, no keyring or no answer within `bound`: the box stays as it is.
class password_lookup final : public QObject {
    Q_OBJECT
public:
    explicit password_lookup(QObject* parent = nullptr);
    void start(const QString& server_url, const QString& user_name, QLineEdit* box,
               std::chrono::milliseconds bound = std::chrono::seconds(2));
    // Waits (events processed) until the look-up has ended, at most until its bound.
    void wait() { job.wait(); }
    bool running() const { return job.running(); }

private:
    bounded_keyring_job job;
    QPointer<QLineEdit> box;
    QString text_at_start;
};

// Stores the password for the site, or, for an empty one, removes the site's entry; true when the
// keyring did so. Waits at most `bound` (an unlock dialog of the desktop may be answered
// meanwhile); events are processed while it waits.
bool keep_in_keyring(const QString& server_url, const QString& user_name, const QString& password,
                     std::chrono::milliseconds bound = std::chrono::seconds(20));
