#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

/**
 * @class TaskSpecification
 * @brief Abstract base of every step of an update run.
 *
 * A task is started by execute(), reports its progress as a share of its
 * parent's progress, reports text through signals and ends every run exactly
 * once, either with finished() or with canceled(). Tasks form a tree: a
 * composed task runs its subtasks, an asynchronous task hands its work to the
 * thread pool, and the update engine drives the root.
 *
 * Tasks live on the main thread only. They are created with a QObject parent
 * (the composed task that runs them, or the engine for the root), which
 * deletes them; a task never deletes itself.
 *
 * Life cycle of one run:
 * @code
 *   Idle --execute()--> Running --finish()------> Finished
 *                               --errorCancel()--> ErrorCanceled
 *                               --userCancel()---> UserCanceled
 *   any state --reset()--> Idle
 * @endcode
 *
 * The fields are public so that parents and the engine can read where a task
 * stands; only the task itself writes them, through the protected helpers
 * below (a concrete task sets @c state to Running in its execute()).
 */
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    /**
     * Where the current run stands. The numbers are stable: other classes
     * compare them.
     */
    enum TaskState {
        Idle = 0, ///< not started, or reset for another run
        Running = 1, ///< entered by the execute() of each concrete task
        Finished = 2, ///< ended with success, by finish()
        ErrorCanceled = 3, ///< ended by a failure, by errorCancel()
        UserCanceled = 4 ///< ended because the user cancelled, by userCancel()
    };
    Q_ENUM(TaskState)

    /**
     * Creates an idle task that stands for @p parentProgressRange of its
     * parent's progress. Every concrete task takes its share as the last
     * constructor argument and passes it here.
     */
    TaskSpecification(QObject *parent, double parentProgressRange);

    /**
     * Starts a run. The implementation sets @c state to Running and starts
     * its work. It may end the run before returning (finished() or canceled()
     * emitted from inside execute()); callers must be prepared for that.
     */
    virtual void execute() = 0;

    /**
     * Returns the task to Idle for another run: clears @c cancelRequested,
     * sets @c state to Idle and emits updateProgress(0). Allowed in any
     * state. Subclasses extend it (drop subtasks, roll back, wait for pool
     * work) and call this version last.
     */
    virtual void reset();

    /**
     * Reports transfer statistics into the four out-arguments: bytes received
     * so far, bytes expected in total, bytes received since the previous tick,
     * and whether a transfer is active. This version writes 0, 0, 0 and false
     * whatever the arguments held.
     */
    virtual void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                          bool &downloading);

    /**
     * Tells the task that the user wants to cancel. This version only sets
     * @c cancelRequested (in any state); the task keeps running and ends by
     * its own logic. Subclasses that can stop early override it.
     */
    virtual void userCanceled();

    /**
     * Replaces the share of the parent's progress. Later progress values use
     * the new share; the current @c progress is not rescaled.
     */
    void setParentProgressRange(double range);

    /// Set by userCanceled(), cleared by reset() and at construction.
    bool cancelRequested;
    /// The share of the parent's progress that this task stands for.
    double parentProgressRange;
    /// Current progress in the parent's units: own done-fraction times parentProgressRange.
    double progress;
    /// Where the current run stands.
    TaskState state;

signals:
    /**
     * The run ended with success. Emitted exactly once per successful run,
     * after updateProgress(parentProgressRange); @p task is this task.
     */
    void finished(TaskSpecification *task);

    /**
     * The run ended without success. Emitted exactly once per unsuccessful
     * run; the reason is in @c state (ErrorCanceled or UserCanceled). Any
     * explanation was sent through message() before. @p task is this task.
     */
    void canceled(TaskSpecification *task);

    /// An error text for the user that does not by itself end anything.
    void error(QString errorMessage);

    /**
     * The task's new @c progress, already multiplied by parentProgressRange,
     * so a parent can add up its children's values directly.
     */
    void updateProgress(qreal doneFrac);

    /// One line for the detailed log.
    void message(QString message);

protected:
    /**
     * Sets @c progress to @p fraction times parentProgressRange and emits
     * updateProgress() with it. @p fraction is the task's own done-fraction,
     * 0 to 1.
     */
    void setProgress(double fraction);

    /**
     * Like setProgress(), but emits updateProgress() only when the value moved by at least
     * ProgressStep of parentProgressRange since the last emission, or reached 0 or 1: a task
     * fed by thousands of small steps would otherwise flood its parent and the window with
     * changes nobody can see. @c progress itself is always current.
     */
    void setProgressCoalesced(double fraction);

    /// The smallest change of the own done-fraction that setProgressCoalesced() reports.
    static constexpr double ProgressStep = 0.001;

private:
    // The value last sent through updateProgress().
    double emittedProgress = 0.0;

protected:
    /// Ends the run with success: state Finished, progress 1.0, finished(this).
    void finish();

    /**
     * Ends the run by a failure: state ErrorCanceled, canceled(this). Sends
     * no text and leaves @c progress as it is.
     */
    void errorCancel();

    /// Ends the run on the user's request: state UserCanceled, canceled(this).
    void userCancel();
};

#endif // TASKSPECIFICATION_H
