#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange), runsInFlight(0)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc *func = createFunction();
    connectDefaultSignals(func);
    ++runsInFlight;
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Safe after the start: the result can only arrive through the event loop.
    state = Running;
}

void ASyncTaskSpecification::failRun()
{
    // Counted and delivered as a worker's result, so that a reset in
    // between drops it exactly as it would drop real work's.
    ++runsInFlight;
    QMetaObject::invokeMethod(this, "onRunResult", Qt::QueuedConnection, Q_ARG(bool, false));
    state = Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    // Results arrive in the order the runs were started, since reset() lets
    // an abandoned run complete before a new one can begin. Only the last
    // run's result may end the task; an earlier one would end a new run with
    // the outcome of old work.
    --runsInFlight;
    if (runsInFlight > 0)
        return;
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal fraction)
{
    if (runsInFlight > 1 || state != Running)
        return;
    setProgress(fraction);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state != Running)
        return;
    if (res)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    TaskSpecification::reset();
}
