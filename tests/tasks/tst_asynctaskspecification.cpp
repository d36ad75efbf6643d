#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>

namespace {

// Where the last work object ran, which thread owned it while it ran, and on
// which thread it was destroyed. Written on pool threads, read by the test.
struct WorkTrace
{
    std::atomic<QThread *> ranOn {nullptr};
    std::atomic<QThread *> ownerWhileRunning {nullptr};
    std::atomic<QThread *> deletedOn {nullptr};
};

class ProbeFunc : public ASyncFunc
{
public:
    ProbeFunc(int id, bool result, qreal progressValue, WorkTrace *trace)
        : id(id), result(result), progressValue(progressValue), trace(trace)
    {
    }
    ~ProbeFunc() override { trace->deletedOn = QThread::currentThread(); }

    bool run() override
    {
        trace->ranOn = QThread::currentThread();
        trace->ownerWhileRunning = thread();
        ++runs;
        if (progressValue >= 0)
            emit progress(progressValue);
        emit message(QStringLiteral("work %1 run %2").arg(id).arg(runs));
        return result;
    }

private:
    const int id;
    const bool result;
    const qreal progressValue;
    WorkTrace *trace;
    int runs = 0;
};

// Each execution gets a work object with the settings the test has chosen
// for it; the ids tell the work objects apart.
class ProbeTask : public ASyncTaskSpecification
{
public:
    using ASyncTaskSpecification::ASyncTaskSpecification;
    // The work objects write into the trace until they are destroyed.
    ~ProbeTask() override { QThreadPool::globalInstance()->waitForDone(); }

    bool result = true;
    qreal progressValue = -1;
    int created = 0;
    WorkTrace trace;

protected:
    ASyncFunc *createFunction() override
    {
        return new ProbeFunc(++created, result, progressValue, &trace);
    }
};

} // namespace

class TestASyncTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void resultEndsRunFromEventLoop_data();
    void resultEndsRunFromEventLoop();
    void workerProgressIsScaledByShare();
    void userCancelDoesNotInterruptWork();
    void resultAfterResetIsDropped_data();
    void resultAfterResetIsDropped();
    void staleResultDoesNotEndNewRun();
    void everyExecutionHasItsOwnWorkObject();
};

void TestASyncTaskSpecification::resultEndsRunFromEventLoop_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<TaskSpecification::TaskState>("expected");
    QTest::addColumn<double>("expectedProgress");
    QTest::newRow("success") << true << TaskSpecification::Finished << 0.3;
    QTest::newRow("failure") << false << TaskSpecification::ErrorCanceled << 0.0;
}

void TestASyncTaskSpecification::resultEndsRunFromEventLoop()
{
    QFETCH(bool, result);
    QFETCH(TaskSpecification::TaskState, expected);
    QFETCH(double, expectedProgress);

    ProbeTask task(nullptr, 0.3);
    task.result = result;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);

    task.execute();
    QCOMPARE(task.state, TaskSpecification::Running);
    QCOMPARE(finished.count() + canceled.count(), 0);

    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(task.state, expected);
    QCOMPARE(finished.count(), result ? 1 : 0);
    QCOMPARE(task.progress, expectedProgress);
    // The worker's lines come before the end of the run.
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("work 1 run 1"));

    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count() + canceled.count(), 1);
}

void TestASyncTaskSpecification::workerProgressIsScaledByShare()
{
    ProbeTask task(nullptr, 0.2);
    task.progressValue = 0.5;
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(progress.count(), 2);
    QVERIFY(qFuzzyCompare(progress.at(0).at(0).toReal(), 0.1));
    QVERIFY(qFuzzyCompare(progress.at(1).at(0).toReal(), 0.2));
}

void TestASyncTaskSpecification::userCancelDoesNotInterruptWork()
{
    ProbeTask task(nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    task.userCanceled();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, TaskSpecification::Finished);
    QVERIFY(task.cancelRequested);
}

void TestASyncTaskSpecification::resultAfterResetIsDropped_data()
{
    QTest::addColumn<bool>("result");
    QTest::newRow("success dropped") << true;
    QTest::newRow("failure dropped") << false;
}

void TestASyncTaskSpecification::resultAfterResetIsDropped()
{
    QFETCH(bool, result);

    ProbeTask task(nullptr, 0.2);
    task.result = result;
    task.progressValue = 0.5;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    // No event loop between the two calls: the result is still queued when
    // the reset is done.
    task.execute();
    task.reset();
    // The reset waited for the pool, so the work object is already gone.
    QVERIFY(task.trace.deletedOn.load() != nullptr);
    QCOMPARE(task.state, TaskSpecification::Idle);

    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QCOMPARE(finished.count() + canceled.count(), 0);
    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(progress.count(), 1); // only the reset's own 0
    QCOMPARE(progress.at(0).at(0).toReal(), 0.0);
}

// A reset followed at once by a new execution: the abandoned run's failure is
// still queued when the new run starts and must not end it.
void TestASyncTaskSpecification::staleResultDoesNotEndNewRun()
{
    ProbeTask task(nullptr, 0.5);
    task.result = false;
    task.progressValue = 0.9;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.execute();
    task.reset();
    task.result = true;
    task.progressValue = -1;
    task.execute();

    QTRY_COMPARE(finished.count(), 1);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, TaskSpecification::Finished);
    QCOMPARE(task.created, 2);
    for (const QList<QVariant> &value : std::as_const(progress))
        QVERIFY(!qFuzzyCompare(value.at(0).toReal(), 0.45)); // nothing of the old run
}

void TestASyncTaskSpecification::everyExecutionHasItsOwnWorkObject()
{
    ProbeTask task(nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);

    for (int run = 1; run <= 2; ++run) {
        if (run > 1)
            task.reset();
        task.trace.deletedOn = nullptr;
        task.execute();
        QTRY_COMPARE(finished.count(), run);

        // The work object lived, ran and died on one pool thread.
        QTRY_VERIFY(task.trace.deletedOn.load() != nullptr);
        QThread *ranOn = task.trace.ranOn.load();
        QVERIFY(ranOn != QThread::currentThread());
        QCOMPARE(task.trace.ownerWhileRunning.load(), ranOn);
        QCOMPARE(task.trace.deletedOn.load(), ranOn);
    }

    // Each work object ran once: a shared one would report "run 2".
    QCOMPARE(task.created, 2);
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("work 1 run 1"));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("work 2 run 1"));
}

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
