#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <optional>

class transfer_component;

// Shows each upload's outcome as a desktop notification (org.freedesktop.Notifications on the
// given bus). Every call is asynchronous: a missing, slow or failing service costs the window
// nothing and shows nothing.
class outcome_notification final : public QObject {
    Q_OBJECT
public:
    // A "Fehler" notification's default action restores and raises `window`. While `transfer`
    // runs a command, its thread may read the environment: the activation token, which reaches
    // Qt through the environment, waits until it is idle.
    outcome_notification(QWidget* window, const QDBusConnection& bus,
                         const transfer_component* transfer = nullptr);

    void show(bool succeeded, const QString& reason);

    // How long a service may take to answer one call.
    static constexpr int call_timeout_ms = 5000;

private slots:
    void activation_token(uint id, const QString& token);
    void action_invoked(uint id, const QString& action_key);

private:
    struct outcome {
        bool succeeded;
        QString reason;
    };
    void send_next();
    void notify(const outcome& shown, bool markup);
    void sent();
    void activate_when_idle();

    QPointer<QWidget> window;
    QPointer<const transfer_component> transfer;
    QDBusConnection bus;
    // One call at a time, so each notification knows the id it replaces; of the outcomes that
    // arrive meanwhile only the newest is shown.
    std::optional<outcome> waiting;
    bool in_flight = false;
    uint last_id = 0;
    QString token; // lets the window come forward on Wayland
};

// An outcome's reason on one line as the tooltip shows it: no control characters, capped.
QString shown_reason(const QString& reason);

// The body of a notification: the shown reason, escaped where the service would read markup.
QString notification_body(const QString& reason, bool markup);
