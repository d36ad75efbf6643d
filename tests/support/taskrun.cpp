#include "taskrun.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

TaskRun runTask(TaskSpecification &task, int settleMs)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    TaskRun run;
    task.execute();
    run.stateAfterExecute = task.state;
    run.endedInsideExecute = finished.count() + canceled.count() > 0;
    if (!QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 60000))
        return run;
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    if (settleMs > 0)
        QTest::qWait(settleMs);
    run.finished = int(finished.count());
    run.canceled = int(canceled.count());
    for (const QList<QVariant> &args : finished)
        run.signalsNameTask &= args.at(0).value<TaskSpecification *>() == &task;
    for (const QList<QVariant> &args : canceled)
        run.signalsNameTask &= args.at(0).value<TaskSpecification *>() == &task;
    run.state = task.state;
    for (const QList<QVariant> &args : messages)
        run.messages << args.at(0).toString();
    for (const QList<QVariant> &args : progress)
        run.progress << args.at(0).toDouble();
    return run;
}
