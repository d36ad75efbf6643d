#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, double parentProgressRange)
    : QObject(parent),
      cancelRequested(false),
      parentProgressRange(parentProgressRange),
      progress(0.0),
      state(Idle)
{
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = Idle;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                 bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    cancelRequested = true;
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    emittedProgress = progress;
    emit updateProgress(progress);
}

void TaskSpecification::setProgressCoalesced(double fraction)
{
    const double value = fraction * parentProgressRange;
    if (fraction <= 0.0 || fraction >= 1.0
        || qAbs(value - emittedProgress) >= ProgressStep * parentProgressRange) {
        setProgress(fraction);
        return;
    }
    progress = value;
}

void TaskSpecification::finish()
{
    state = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = UserCanceled;
    emit canceled(this);
}

void TaskSpecification::setParentProgressRange(double range)
{
    parentProgressRange = range;
}
