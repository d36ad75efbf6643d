#include "tasks/composedtaskspecification.h"

#include <utility>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double parentProgressRange,
                                                     QObject *parent)
    : TaskSpecification(parent, parentProgressRange),
      maxParallel(maxParallel),
      subTaskCanceled(false),
      doneReported(false)
{
    Q_ASSERT(maxParallel >= 1);
    // Queued on purpose: a subtask that ends inside its own execute() must not
    // start its successor from within that call, or a long chain of such
    // subtasks would nest ever deeper instead of returning to the event loop.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::raiseMaxParallel(int count)
{
    if (count <= maxParallel)
        return;
    const int added = count - maxParallel;
    maxParallel = count;
    if (state != Running)
        return;
    // Each request starts one waiting subtask, or is dropped when none waits.
    for (int i = 0; i < added; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *subTask)
{
    allSubTasks.append(subTask);
    pendingSubTasks.append(subTask);
    connectSignals(subTask);
    reportedProgress.insert(subTask, subTask->progress);
    progressSum += subTask->progress;
    setProgressCoalesced(progressSum);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification *subTask)
{
    connect(subTask, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(subTask, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    // The subtask travels with the value: sender() would search all of this task's
    // connections on every report, which costs as much as adding up all the children.
    connect(subTask, &TaskSpecification::updateProgress, this,
            [this, subTask](qreal doneFrac) { onUpdateProgress(subTask, doneFrac); });
    connect(subTask, &TaskSpecification::message, this, &TaskSpecification::message);
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = Running;
    // The flags describe one run. A subclass that rebuilds its subtasks resets
    // only the base task, so a failed earlier run must not leave them set: the
    // new run would never start anything and never end.
    subTaskCanceled = false;
    doneReported = false;

    const int n = int(qMin(waitingSubTaskCount(), qsizetype(maxParallel)));
    if (n == 0) {
        doneReported = true;
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A request still queued from a run that has since been reset belongs to
    // no run: acting on it would end an idle task or start a subtask early.
    if (state != Running)
        return;

    if (waitingSubTaskCount() == 0 || subTaskCanceled || cancelRequested) {
        if (runningSubTasks.isEmpty() && !doneReported) {
            doneReported = true;
            subtasksDone();
        }
        return;
    }

    // Requests normally never outnumber the free slots; the check keeps the
    // bound even if a stale request meets a new run. Dropping the request is
    // safe: each running subtask hands on a request when it ends.
    if (runningSubTasks.size() >= maxParallel)
        return;

    TaskSpecification *subTask = takeNextSubTask();
    runningSubTasks.append(subTask);
    subTask->execute();
}

void ComposedTaskSpecification::onUpdateProgress(const TaskSpecification *subTask, qreal doneFrac)
{
    const auto seen = reportedProgress.find(subTask);
    if (seen == reportedProgress.end())
        return;
    progressSum += doneFrac - seen.value();
    seen.value() = doneFrac;
    setProgressCoalesced(progressSum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *subTask)
{
    // Only a subtask that is part of the run may hand on its slot; an end
    // reported twice would otherwise put one more start request in circulation.
    if (!runningSubTasks.removeOne(subTask) && !pendingSubTasks.removeOne(subTask))
        return;
    doneSubTasks.append(subTask);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *subTask)
{
    if (!runningSubTasks.removeOne(subTask) && !pendingSubTasks.removeOne(subTask))
        return;
    doneSubTasks.append(subTask);
    subTaskCanceled = true;
    // Subtasks still running in parallel are left to end; the last of them
    // comes back through its own start request and ends the run there.
    if (runningSubTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case Finished:
        finish();
        break;
    case UserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

TaskSpecification::TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool anyUserCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification *subTask : allSubTasks) {
        if (subTask->state == ErrorCanceled)
            return ErrorCanceled;
        if (subTask->state == UserCanceled)
            anyUserCanceled = true;
        if (subTask->state != Finished)
            allFinished = false;
    }
    if (anyUserCanceled)
        return UserCanceled;
    if (allFinished && waitingSubTaskCount() == 0)
        return Finished;
    if (cancelRequested)
        return UserCanceled;
    if (subTaskCanceled)
        return ErrorCanceled;
    return Running;
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification *subTask : std::as_const(allSubTasks)) {
        subTask->disconnect(this);
        subTask->deleteLater();
    }
    allSubTasks.clear();
    reportedProgress.clear();
    progressSum = 0.0;
    pendingSubTasks.clear();
    runningSubTasks.clear();
    doneSubTasks.clear();
}

bool ComposedTaskSpecification::discardDoneSubTask(TaskSpecification *subTask)
{
    if (!doneSubTasks.removeOne(subTask))
        return false;
    allSubTasks.removeOne(subTask);
    reportedProgress.remove(subTask);
    subTask->disconnect(this);
    subTask->deleteLater();
    return true;
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    // A subtask may end, and this task with it, while it is being told; the
    // copy keeps the walk valid whatever the slots do to the lists.
    const QList<TaskSpecification *> subTasks = allSubTasks;
    for (TaskSpecification *subTask : subTasks)
        subTask->userCanceled();
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification *> subTasks = allSubTasks;
    for (TaskSpecification *subTask : subTasks)
        subTask->reset();
    pendingSubTasks = allSubTasks;
    runningSubTasks.clear();
    doneSubTasks.clear();
    subTaskCanceled = false;
    doneReported = false;
    // Summed afresh, so that the differences added up over the run leave no rounding behind.
    progressSum = 0.0;
    for (auto it = reportedProgress.begin(); it != reportedProgress.end(); ++it) {
        it.value() = it.key()->progress;
        progressSum += it.value();
    }
    TaskSpecification::reset();
}

void ComposedTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                         quint64 &speed, bool &downloading)
{
    downloading = false;
    const QList<TaskSpecification *> subTasks = allSubTasks;
    for (TaskSpecification *subTask : subTasks) {
        quint64 subDone = 0;
        quint64 subTotal = 0;
        quint64 subSpeed = 0;
        bool subDownloading = false;
        subTask->timeTick(subDone, subTotal, subSpeed, subDownloading);
        if (subDownloading)
            downloading = true;
        speed += subSpeed;
        if (subTotal != 0) {
            downloadDone += subDone;
            downloadTotal += subTotal;
        }
    }
}
