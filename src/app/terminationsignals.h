#pragma once

#include <QObject>

class QSocketNotifier;

// Delivers SIGINT and SIGTERM as a Qt signal on the main thread's event loop,
// so that a termination request can end a run in order (rollback included)
// instead of killing the process in the middle of it.
//
// The signals are blocked and read from a signal file descriptor; no handler
// runs inside the interrupted code. block() must come first in the process,
// before any thread exists, so that every thread inherits the blocked set and
// none of them is killed by the default action.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Blocks SIGINT and SIGTERM for the calling thread and the threads it
    // starts from then on.
    static void block();

    // Starts listening; the signals must have been blocked already. Should
    // that fail, they are unblocked again and keep their default action.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    // One per signal received (SIGINT or SIGTERM).
    void received(int signalNumber);

private:
    void onActivated();

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
};
