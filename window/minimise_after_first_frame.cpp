#include "minimise_after_first_frame.h"

#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QWindow>

namespace {

// Lives from the show until the first expose, then asks once and goes.
class first_frame_watch final : public QObject {
public:
    explicit first_frame_watch(QWindow* window) : QObject(window), window(window) {}

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Expose && window->isExposed()) {
            window->removeEventFilter(this);
            // Queued: the expose paints and commits the first frame before this runs.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    window->setWindowStates(Qt::WindowMinimized);
                    deleteLater();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QWindow* window;
};

} // namespace

void minimise_after_first_frame(QWindow* window) {
    window->installEventFilter(new first_frame_watch(window));
}
