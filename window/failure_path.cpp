#include "failure_path.h"

#include "fixed_texts.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QWidget>
#include <exception>

namespace {

struct app_text final {
    Q_DECLARE_TR_FUNCTIONS(app)
};

void show_message_box(QWidget* window, const QString& text) {
    // A box parented to a minimised or not yet shown window may never become visible.
    QWidget* parent = window && window->isVisible() && !window->isMinimized() ? window : nullptr;
    auto* box = new QMessageBox(QMessageBox::Critical, fixed_text::window_title.toString(), text,
                                QMessageBox::Ok, parent);
    // The text quotes file names and servers: whatever looks like markup is shown as it is.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Modal, but not waited for: a client, a watch or the next publish in line must not wait for
    // someone to close a box on a minimised window.
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->show();
}

failure_sink& current_sink() {
    static failure_sink sink = show_message_box;
    return sink;
}

} // namespace

failure_sink set_failure_sink(failure_sink sink) {
    failure_sink previous = std::move(current_sink());
    current_sink() = sink ? std::move(sink) : failure_sink(show_message_box);
    return previous;
}

void run_handler(QWidget* window, const QString& action, const std::function<void()>& handler,
                 const std::function<void(const QString& reason)>& stopped) {
    QString reason;
    try {
        handler();
        return;
    } catch (const std::exception& e) {
        reason = QString::fromUtf8(e.what());
    } catch (...) {
        reason = app_text::tr("unknown failure");
    }
    // Shown outside the catch block, so a nested event loop never runs with an exception alive.
    if (stopped)
        stopped(reason);
    //: %1 is the caption of the button clicked, or "Start"; %2 the reason.
    current_sink()(window, app_text::tr("%1 failed:\n%2").arg(action, reason));
}
