#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

/**
 * @class ASyncFunc
 * @brief The work of one run of an asynchronous task, done on a pool thread.
 *
 * A work object is created afresh for every execution of its task, carried
 * into the thread pool by an ASyncRun, which owns it, and deleted on the pool
 * thread once run() has returned. It reaches its task only through queued
 * signals, so every argument travels as a copy and nothing on the main thread
 * refers to the work object after it is gone.
 *
 * Subclasses hold copies of what run() needs (paths, checksums) or pointers to
 * data the task owns and does not touch until runResult() has arrived. run()
 * calls no method of the task.
 */
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    /// Work objects have no parent: their ASyncRun owns them.
    ASyncFunc();

    /**
     * Does the work on the calling (pool) thread. May emit message() and
     * progress() while it runs. Returns whether the work succeeded; failures
     * are explained through message() before returning. Must not throw.
     */
    virtual bool run() = 0;

    /**
     * Runs run() and emits runResult() with its outcome, exactly once per
     * call. Called by ASyncRun on the pool thread.
     */
    void execute();

signals:
    /// The outcome of run(); the last signal of the work object.
    void runResult(bool res);
    /// A log line from the worker.
    void message(QString message);
    /// An error text from the worker.
    void error(QString errorMessage);
    /// The worker's own done-fraction, 0 to 1.
    void progress(qreal progress);
};

#endif // ASYNCFUNC_H
