#include "tasks/taskspecification.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// A task that ends only when the test says so; it exposes the protected
// helpers so the test can play the part of the concrete task.
class ManualTask : public TaskSpecification
{
public:
    using TaskSpecification::errorCancel;
    using TaskSpecification::finish;
    using TaskSpecification::setParentProgressRange;
    using TaskSpecification::setProgress;
    using TaskSpecification::TaskSpecification;
    using TaskSpecification::userCancel;

    void execute() override { state = Running; }
};

qreal lastProgress(const QSignalSpy &spy)
{
    return spy.isEmpty() ? -1.0 : spy.last().at(0).toReal();
}

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void progressIsOwnFractionTimesShare();
    void finishReportsFullShareBeforeFinished();
    void cancelsKeepProgressAndSendNoText_data();
    void cancelsKeepProgressAndSendNoText();
    void resetReturnsToIdleFromAnyEnd_data();
    void resetReturnsToIdleFromAnyEnd();
    void userCanceledOnlyRecordsTheRequest();
    void baseTimeTickOverwritesArguments();
};

void TestTaskSpecification::progressIsOwnFractionTimesShare()
{
    ManualTask task(nullptr, 0.4);
    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(task.progress, 0.0);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();

    task.setProgress(0.5);
    QCOMPARE(progress.count(), 1);
    QVERIFY(qFuzzyCompare(lastProgress(progress), 0.2));
    QVERIFY(qFuzzyCompare(task.progress, 0.2));

    // A new share applies to later values only.
    task.setParentProgressRange(0.8);
    QVERIFY(qFuzzyCompare(task.progress, 0.2));
    task.setProgress(0.5);
    QVERIFY(qFuzzyCompare(lastProgress(progress), 0.4));
}

void TestTaskSpecification::finishReportsFullShareBeforeFinished()
{
    ManualTask task(nullptr, 0.4);
    QStringList order;
    connect(&task, &TaskSpecification::updateProgress, this,
            [&order](qreal value) { order << QStringLiteral("progress %1").arg(value); });
    connect(&task, &TaskSpecification::finished, this, [&order, &task](TaskSpecification *t) {
        order << (t == &task ? QStringLiteral("finished self") : QStringLiteral("finished other"));
    });
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    task.finish();

    QCOMPARE(order, QStringList({"progress 0.4", "finished self"}));
    QCOMPARE(task.state, TaskSpecification::Finished);
    QVERIFY(qFuzzyCompare(task.progress, 0.4));
    QCOMPARE(canceled.count(), 0);
}

void TestTaskSpecification::cancelsKeepProgressAndSendNoText_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<TaskSpecification::TaskState>("expected");
    QTest::newRow("error") << false << TaskSpecification::ErrorCanceled;
    QTest::newRow("user") << true << TaskSpecification::UserCanceled;
}

void TestTaskSpecification::cancelsKeepProgressAndSendNoText()
{
    QFETCH(bool, byUser);
    QFETCH(TaskSpecification::TaskState, expected);

    ManualTask task(nullptr, 0.4);
    task.execute();
    task.setProgress(0.5);

    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy message(&task, &TaskSpecification::message);
    QSignalSpy error(&task, &TaskSpecification::error);

    if (byUser)
        task.userCancel();
    else
        task.errorCancel();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(canceled.at(0).at(0).value<TaskSpecification *>(), &task);
    QCOMPARE(task.state, expected);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(progress.count(), 0);
    QVERIFY(qFuzzyCompare(task.progress, 0.2));
    QCOMPARE(message.count(), 0);
    QCOMPARE(error.count(), 0);
}

void TestTaskSpecification::resetReturnsToIdleFromAnyEnd_data()
{
    QTest::addColumn<int>("ending");
    QTest::newRow("finished") << 0;
    QTest::newRow("error canceled") << 1;
    QTest::newRow("user canceled") << 2;
    QTest::newRow("still running") << 3;
}

void TestTaskSpecification::resetReturnsToIdleFromAnyEnd()
{
    QFETCH(int, ending);

    ManualTask task(nullptr, 0.4);
    task.execute();
    task.setProgress(0.5);
    task.userCanceled();
    if (ending == 0)
        task.finish();
    else if (ending == 1)
        task.errorCancel();
    else if (ending == 2)
        task.userCancel();

    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.reset();

    QCOMPARE(task.state, TaskSpecification::Idle);
    QVERIFY(!task.cancelRequested);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(lastProgress(progress), 0.0);
    QCOMPARE(finished.count() + canceled.count(), 0);

    // A reset task runs again like a new one.
    task.execute();
    task.finish();
    QCOMPARE(finished.count(), 1);
    QVERIFY(qFuzzyCompare(lastProgress(progress), 0.4));
}

void TestTaskSpecification::userCanceledOnlyRecordsTheRequest()
{
    ManualTask task(nullptr, 0.4);
    task.userCanceled(); // recorded even before a run
    QVERIFY(task.cancelRequested);
    QCOMPARE(task.state, TaskSpecification::Idle);

    task.execute();
    task.setProgress(0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.userCanceled();
    QCOMPARE(task.state, TaskSpecification::Running);
    QVERIFY(qFuzzyCompare(task.progress, 0.2));
    QCOMPARE(progress.count() + canceled.count() + finished.count(), 0);

    // The task's own logic still decides how the run ends.
    task.finish();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QVERIFY(task.cancelRequested);
}

void TestTaskSpecification::baseTimeTickOverwritesArguments()
{
    ManualTask task(nullptr, 1.0);
    quint64 done = 11, total = 22, speed = 33;
    bool downloading = true;
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(0));
    QCOMPARE(total, quint64(0));
    QCOMPARE(speed, quint64(0));
    QCOMPARE(downloading, false);
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
