#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl-C and SIGTERM asking a foreground command to stop: the handler only notes it (a byte
// through a pipe of its own, read in the event loop), so the work in hand can finish first.
// One object at a time; the signals' default actions come back when it goes.
class stop_signals final : public QObject {
    Q_OBJECT
public:
    explicit stop_signals(QObject* parent = nullptr);
    ~stop_signals() override;

    // Whether a stop was asked for, already before the event loop has heard of it.
    static bool requested();

signals:
    void stop();

private:
    QSocketNotifier* notifier = nullptr;
};
