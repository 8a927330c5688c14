#include "outcome_notification.h"

#include "fixed_texts.h"
#include "response_text.h"
#include "transfer_component.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

struct desktop_text final {
    Q_DECLARE_TR_FUNCTIONS(desktop)
};

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString desktop_id = QStringLiteral(APP_ID);

constexpr uchar urgency_low = 0;
constexpr uchar urgency_normal = 1;
constexpr int ok_expiry_ms = 4000;

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(service, path, interface, method);
}

} // namespace

QString shown_reason(const QString& reason) {
    const QByteArray bytes = reason.toUtf8();
    return server_text(std::string_view(bytes.constData(), size_t(bytes.size())));
}

QString notification_body(const QString& reason, bool markup) {
    QString body = shown_reason(reason);
    if (markup) // only these three: some services show any other entity as it is
        body.replace(u'&', QStringLiteral("&amp;"))
            .replace(u'<', QStringLiteral("&lt;"))
            .replace(u'>', QStringLiteral("&gt;"));
    return body;
}

outcome_notification::outcome_notification(QWidget* window, const QDBusConnection& bus,
                                           const transfer_component* transfer)
    : window(window), transfer(transfer), bus(bus) {
    if (!this->bus.isConnected())
        return;
    this->bus.connect(service, path, interface, QStringLiteral("ActivationToken"), this,
                      SLOT(activation_token(uint, QString)));
    this->bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                      SLOT(action_invoked(uint, QString)));
}

void outcome_notification::show(bool succeeded, const QString& reason) {
    if (!bus.isConnected())
        return;
    waiting = outcome{succeeded, reason};
    send_next();
}

void outcome_notification::send_next() {
    if (in_flight || !waiting)
        return;
    const outcome shown = *std::exchange(waiting, std::nullopt);
    in_flight = true;
    // Asked each time: the service may have been replaced since.
    auto* watcher = new QDBusPendingCallWatcher(
        bus.asyncCall(call(QStringLiteral("GetCapabilities")), call_timeout_ms), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, shown](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QStringList> capabilities = *finished;
                if (capabilities.isError()) // no service: nothing to show
                    return sent();
                notify(shown, capabilities.value().contains(QStringLiteral("body-markup")));
            });
}

void outcome_notification::notify(const outcome& shown, bool markup) {
    QDBusMessage message = call(QStringLiteral("Notify"));
    const QStringView summary = shown.succeeded ? fixed_text::title_ok : fixed_text::title_failed;
    QStringList actions;
    if (!shown.succeeded)
        actions << QStringLiteral("default") << desktop_text::tr("Show the window");
    const QVariantMap hints{{QStringLiteral("urgency"),
                             QVariant::fromValue(shown.succeeded ? urgency_low : urgency_normal)},
                            {QStringLiteral("desktop-entry"), desktop_id}};
    // A failure stays until dismissed: the user may want to mend a setting.
    const qint32 expiry = shown.succeeded ? ok_expiry_ms : 0;
    message << QStringLiteral("FTP Publisher") << last_id << desktop_id << summary.toString()
            << notification_body(shown.reason, markup) << actions << hints << expiry;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, call_timeout_ms), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> id = *finished;
                if (!id.isError())
                    last_id = id.value();
                sent();
            });
}

void outcome_notification::sent() {
    in_flight = false;
    send_next();
}

void outcome_notification::activation_token(uint id, const QString& token) {
    if (id == last_id)
        this->token = token;
}

void outcome_notification::action_invoked(uint id, const QString& action_key) {
    if (id != last_id || action_key != u"default" || !window)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    activate_when_idle();
}

void outcome_notification::activate_when_idle() {
    if (!window)
        return;
    // setenv may move the environment while another thread's getenv reads it (libcurl reads its
    // proxy variables, the resolver its options). Only this thread starts commands, and when
    // none runs the worker waits and libcurl has joined its resolver threads.
    if (transfer && transfer->still_executing()) {
        connect(transfer, &transfer_component::command_finished, this,
                &outcome_notification::activate_when_idle,
                Qt::ConnectionType(Qt::SingleShotConnection | Qt::UniqueConnection));
        return;
    }
    // A Wayland compositor lets a window forward only with the token that the service sent
    // just before; Qt's Wayland platform takes it from the environment on activation.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", std::exchange(token, QString()).toUtf8());
    window->activateWindow();
}
