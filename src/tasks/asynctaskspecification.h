#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "tasks/taskspecification.h"

class ASyncFunc;

/**
 * @class ASyncTaskSpecification
 * @brief A task whose work runs on the application-wide thread pool.
 *
 * Each execute() obtains a new work object from createFunction(), connects it
 * with queued connections only and hands it to QThreadPool::globalInstance().
 * The task itself is only ever touched on the main thread: the worker's
 * message() and error() are re-emitted by the task, its progress() becomes
 * updateProgress(), and its result ends the run through runDone() from the
 * event loop, never inside execute().
 *
 * A user cancel does not interrupt the worker: userCanceled() only records
 * the request, and the worker's result still ends the run.
 */
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject *parent, double parentProgressRange);

    /**
     * Starts a run: creates and connects a new work object, starts it on the
     * global thread pool with priority 0, then sets @c state to Running. The
     * run ends later with exactly one finished() or canceled().
     */
    void execute() override;

    /**
     * Blocks until the global thread pool is idle (including work of other
     * tasks), then returns the task to Idle with progress 0. A result or
     * progress value of the abandoned run that is still queued is dropped
     * when it arrives, even if the task has been executed again meanwhile.
     */
    void reset() override;

protected slots:
    /// Receives the worker's result; hands the current run's result to runDone().
    void onRunResult(bool res);
    /// Receives the worker's done-fraction; moves @c progress with it while Running.
    void onProgress(qreal progress);

protected:
    /// Returns a new work object for one run; ownership passes to the caller.
    virtual ASyncFunc *createFunction() = 0;

    /**
     * Connects the work object to this task, each with a queued connection:
     * runResult() to onRunResult(), message() and error() to this task's
     * signals of the same name, progress() to onProgress().
     */
    virtual void connectDefaultSignals(ASyncFunc *func);

    /**
     * Ends the run from the worker's result: finish() when @p res is true,
     * errorCancel() otherwise, but only while @c state is Running; in any
     * other state the result is dropped. Replacements do their own work
     * (failure text, rollback record, publishing results) and then call this
     * version.
     */
    virtual void runDone(bool res);

    /**
     * Starts a run that fails without any work, for a precondition that
     * failed in execute(): like a work object that failed at once, its
     * result ends the run from the event loop, never inside execute().
     */
    void failRun();

private:
    // Runs handed to the pool whose result has not arrived yet. Above 1, the
    // arriving result and progress belong to a run abandoned by reset().
    int runsInFlight;
};

#endif // ASYNCTASKSPECIFICATION_H
