#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "tasks/taskspecification.h"

#include <QHash>
#include <QList>

/**
 * @class ComposedTaskSpecification
 * @brief A task made of subtasks, run in the order they were added.
 *
 * At most @c maxParallel subtasks run at a time. Every start of a subtask goes
 * through the queued startNextTask() signal, so it happens in a later pass of
 * the event loop and never inside the call that asked for it (in particular,
 * never inside the previous subtask's finished() emission). The composed task
 * adds up its subtasks' progress, forwards their error() and message() texts
 * unchanged, stops starting subtasks as soon as one is cancelled or the user
 * cancels, and derives its own outcome from theirs (see
 * getStateFromSubTasks()). The progress is kept as a running sum, changed by
 * each subtask's report by the difference to its previous one, so a report
 * costs the same however many subtasks there are; it is passed on coalesced
 * (setProgressCoalesced()).
 *
 * Subclass pattern: a non-virtual makeSubtasksAndStart() creates each subtask
 * with this task as QObject parent and with its share of this task's
 * progress, adds it with addSubTask(), sets @c state to Running and calls
 * executeSubTasks(). execute() usually sends one message() and calls it.
 * subtasksDone() may be replaced to commit or roll back first; the
 * replacement then calls this class's version, which ends the run.
 *
 * Runs are independent: executeSubTasks() clears the per-run flags, and a
 * start request still queued from a run that has been reset is ignored, so a
 * task may be reset and executed again from inside its own canceled().
 *
 * A subtask is in @c allSubTasks and in exactly one of @c pendingSubTasks,
 * @c runningSubTasks and @c doneSubTasks. The composed task owns its subtasks
 * and disposes of them with deferred deletion in clearSubTasks(), so no
 * subtask is destroyed inside its own signal.
 */
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    /**
     * Creates an idle composed task with no subtasks. @p maxParallel (at
     * least 1) bounds how many subtasks run at the same time.
     */
    ComposedTaskSpecification(int maxParallel, double parentProgressRange, QObject *parent);

    /// Lets up to @p count subtasks run at the same time, from now on; a running task starts
    /// waiting ones at once. A lower count than the current one changes nothing.
    void raiseMaxParallel(int count);

    /// Disposes of the subtasks (clearSubTasks()).
    ~ComposedTaskSpecification() override;

    /**
     * Resets every subtask and makes all of them pending again, then resets
     * this task (Idle, progress 0). The subtasks are kept; subclasses that
     * build their subtasks on every execution call clearSubTasks() and the
     * base TaskSpecification::reset() instead.
     */
    void reset() override;

    /**
     * Sums the statistics of all subtasks into the arguments. The three
     * counters are added to, not overwritten; @p downloading is cleared and
     * then set if any subtask reports a transfer. Every subtask contributes
     * its speed; its done and total bytes only if its total is not 0 (a
     * transfer of unknown size counts towards the speed but not the sizes).
     */
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

    /**
     * Sets @c cancelRequested and, while this task is Running, passes the
     * request on to every subtask, pending and ended ones included. No new
     * subtask is started afterwards; the outcome follows from how the running
     * ones end (a last running subtask that still finishes normally, with
     * nothing pending, lets this task finish normally).
     */
    void userCanceled() override;

signals:
    /**
     * Internal: asks, through a queued connection to this task, for the next
     * pending subtask to be started. Not for use by other objects.
     */
    void startNextTask();

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification *subTask);
    void onSubTaskCanceled(TaskSpecification *subTask);

private:
    void onUpdateProgress(const TaskSpecification *subTask, qreal doneFrac);

protected:
    /**
     * Called exactly once per run, when nothing more may start and nothing
     * runs (or at once from executeSubTasks() when there is nothing to
     * start). Ends the run according to getStateFromSubTasks(): finish() on
     * Finished, userCancel() on UserCanceled, errorCancel() otherwise.
     * Replacements do their own work first and then call this version.
     */
    virtual void subtasksDone();

    /**
     * Wires a new subtask to this task: its finished() and canceled() end it
     * here, its updateProgress() recomputes this task's progress, and its
     * error() and message() are re-emitted by this task unchanged.
     */
    virtual void connectSignals(TaskSpecification *subTask);

    /**
     * Adds @p subTask (whose QObject parent must be this task) as the last
     * pending subtask, connects it and recomputes the progress at once.
     */
    void addSubTask(TaskSpecification *subTask);

    /**
     * Starts the run: @c state Running, @c subTaskCanceled and
     * @c doneReported cleared, then one start request for each of
     * the first min(pending, maxParallel) subtasks. With nothing to start,
     * subtasksDone() is called before this returns, so a composed task
     * without subtasks finishes inside execute().
     */
    void executeSubTasks();

    /**
     * The outcome of the run, in this order of precedence: any subtask
     * ErrorCanceled -> ErrorCanceled; any UserCanceled -> UserCanceled; all
     * Finished and none waiting (also when there are none) -> Finished; @c cancelRequested ->
     * UserCanceled; @c subTaskCanceled -> ErrorCanceled; otherwise Running
     * (which subtasksDone() treats as a failure).
     */
    TaskState getStateFromSubTasks() const;

    /**
     * How many subtasks are still to be started. This version counts @c pendingSubTasks; a
     * subclass that makes its subtasks only when they start adds those not yet made.
     */
    virtual qsizetype waitingSubTaskCount() const { return pendingSubTasks.size(); }

    /**
     * Takes the next subtask to start off the waiting ones; called only while
     * waitingSubTaskCount() is not 0. This version takes the first of @c pendingSubTasks; a
     * subclass that makes subtasks on demand makes one, adds it with addSubTask() and then
     * calls this version.
     */
    virtual TaskSpecification *takeNextSubTask() { return pendingSubTasks.takeFirst(); }

    /**
     * Disconnects every subtask from this task, schedules it for deletion
     * with deleteLater() and empties the four lists. A subtask that ends
     * after this no longer reaches this task.
     */
    void clearSubTasks();
    /**
     * Drops @p subTask if it has ended: it leaves the lists (its last progress report stays in
     * the sum) and is deleted later. For subclasses that make their subtasks when they start
     * and need nothing of an ended one, so that memory does not grow with their number.
     * Returns false, doing nothing, for a subtask that has not ended.
     */
    bool discardDoneSubTask(TaskSpecification *subTask);

    /// Every subtask ever added, in the order of adding.
    QList<TaskSpecification *> allSubTasks;
    /// Subtasks not yet started, in the order of adding.
    QList<TaskSpecification *> pendingSubTasks;
    /// Subtasks started and not yet ended.
    QList<TaskSpecification *> runningSubTasks;
    /// Subtasks that ended (finished or cancelled), in the order of ending.
    QList<TaskSpecification *> doneSubTasks;
    /// How many subtasks may run at the same time.
    int maxParallel;
    /// The progress each subtask reported last, and their sum: the own done-fraction.
    QHash<const TaskSpecification *, double> reportedProgress;
    double progressSum = 0.0;
    /// A subtask emitted canceled() during this run.
    bool subTaskCanceled;
    /// subtasksDone() was already called from the end-of-run checks.
    bool doneReported;
};

#endif // COMPOSEDTASKSPECIFICATION_H
