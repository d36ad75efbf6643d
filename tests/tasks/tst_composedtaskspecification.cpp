#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {

// What the subtasks of one test did, in order. "ending" is non-zero while a
// subtask is emitting its end, so a start that happens inside that emission
// (instead of in a later pass of the event loop) is caught.
struct Journal
{
    QStringList events;
    int ending = 0;
    bool startedInsideEnd = false;
    int running = 0;
    int maxRunning = 0;
};

class StepTask : public TaskSpecification
{
public:
    enum Behaviour { FinishInExecute, FailInExecute, FinishLater, OnDemand };

    StepTask(const QString &name, Behaviour behaviour, double share, Journal *journal,
             QObject *parent)
        : TaskSpecification(parent, share), name(name), behaviour(behaviour), journal(journal)
    {
    }

    void execute() override
    {
        state = Running;
        ++executions;
        journal->events << QStringLiteral("start:") + name;
        if (journal->ending > 0)
            journal->startedInsideEnd = true;
        journal->maxRunning = std::max(journal->maxRunning, ++journal->running);
        switch (behaviour) {
        case FinishInExecute:
            finishNow();
            break;
        case FailInExecute:
            failNow();
            break;
        case FinishLater:
            QTimer::singleShot(0, this, [this] { finishNow(); });
            break;
        case OnDemand:
            break;
        }
    }

    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override
    {
        downloadDone = statDone;
        downloadTotal = statTotal;
        speed = statSpeed;
        downloading = statDownloading;
    }

    void finishNow()
    {
        end([this] { finish(); });
    }
    void failNow()
    {
        emit message(name + QStringLiteral(" failed"));
        emit error(name + QStringLiteral(" error"));
        end([this] { errorCancel(); });
    }
    void userCancelNow()
    {
        end([this] { userCancel(); });
    }

    const QString name;
    Behaviour behaviour;
    int executions = 0;
    quint64 statDone = 0;
    quint64 statTotal = 0;
    quint64 statSpeed = 0;
    bool statDownloading = false;

private:
    template<typename End> void end(End emitEnd)
    {
        journal->events << QStringLiteral("end:") + name;
        --journal->running;
        ++journal->ending;
        emitEnd();
        --journal->ending;
    }

    Journal *journal;
};

struct Step
{
    QString name;
    StepTask::Behaviour behaviour;
    double share;
};

// A composed task as the system's subclasses write them. With a recipe it
// builds its subtasks on every execution and its reset() drops them; without
// one the test adds subtasks up front and the base reset() is used.
class TestComposed : public ComposedTaskSpecification
{
public:
    TestComposed(int maxParallel, double share, Journal *journal, QObject *parent = nullptr)
        : ComposedTaskSpecification(maxParallel, share, parent), journal(journal)
    {
    }

    StepTask *add(const QString &name, StepTask::Behaviour behaviour, double share)
    {
        auto *task = new StepTask(name, behaviour, share, journal, this);
        addSubTask(task);
        return task;
    }
    void addComposed(TaskSpecification *task) { addSubTask(task); }

    void execute() override
    {
        if (!recipe.isEmpty()) {
            for (const Step &step : std::as_const(recipe))
                add(step.name, step.behaviour, step.share);
        }
        state = Running;
        executeSubTasks();
    }

    void reset() override
    {
        if (recipe.isEmpty()) {
            ComposedTaskSpecification::reset();
        } else {
            clearSubTasks();
            TaskSpecification::reset();
        }
    }

    int pendingCount() const { return pendingSubTasks.size(); }
    int subTaskCount() const { return allSubTasks.size(); }
    StepTask *subTask(int i) const { return static_cast<StepTask *>(allSubTasks.at(i)); }

    QList<Step> recipe;
    int doneCalls = 0;
    int runningAtDone = -1;
    // Decide the outcome in a later pass, as a subclass that first waits for
    // its own clean-up would.
    bool deferOutcome = false;

protected:
    void subtasksDone() override
    {
        ++doneCalls;
        runningAtDone = runningSubTasks.size();
        if (deferOutcome)
            QTimer::singleShot(0, this, [this] { ComposedTaskSpecification::subtasksDone(); });
        else
            ComposedTaskSpecification::subtasksDone();
    }

private:
    Journal *journal;
};

// Every start recorded in the journal is followed by exactly one end of the
// same subtask before it starts again, and nothing is left running.
bool startsAndEndsPair(const Journal &journal)
{
    QHash<QString, bool> running;
    for (const QString &event : journal.events) {
        const QString name = event.section(QLatin1Char(':'), 1);
        const bool start = event.startsWith(QLatin1String("start:"));
        if (running.value(name) == start)
            return false;
        running[name] = start;
    }
    for (bool r : std::as_const(running)) {
        if (r)
            return false;
    }
    return true;
}

qreal lastProgress(const QSignalSpy &spy)
{
    return spy.isEmpty() ? -1.0 : spy.last().at(0).toReal();
}

} // namespace

class TestComposedTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void emptyTaskFinishesInsideExecute();
    void sequentialSubtasksStartInLaterPasses();
    void progressSumsThroughNestedTasks();
    void parallelismIsBounded();
    void failureStopsTheSequence();
    void cancelWaitsForRunningSibling_data();
    void cancelWaitsForRunningSibling();
    void outcomePrecedence_data();
    void outcomePrecedence();
    void userCancelLetsRunningSubtaskDecide_data();
    void userCancelLetsRunningSubtaskDecide();
    void timeTickSumsRunningFigures_data();
    void timeTickSumsRunningFigures();
    void resetRunsTheSameSubtasksAgain();
    void rebuiltRunAfterFailureCompletes();
    void deferredOutcomeIsAskedForOnce();
    void restartFromCanceledKeepsTheBound();
    void staleStartRequestAfterResetIsIgnored_data();
    void staleStartRequestAfterResetIsIgnored();
    void clearedSubtaskNoLongerReachesParent();
};

void TestComposedTaskSpecification::emptyTaskFinishesInsideExecute()
{
    Journal journal;
    TestComposed task(1, 0.3, &journal);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.execute();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskSpecification::Finished);
    QVERIFY(qFuzzyCompare(lastProgress(progress), 0.3));
    QCOMPARE(task.doneCalls, 1);
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.doneCalls, 1);
}

void TestComposedTaskSpecification::sequentialSubtasksStartInLaterPasses()
{
    Journal journal;
    TestComposed task(1, 1.0, &journal);
    task.add("A", StepTask::FinishInExecute, 0.2);
    task.add("B", StepTask::FinishInExecute, 0.3);
    task.add("C", StepTask::FinishInExecute, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QVERIFY(journal.events.isEmpty()); // not even the first start happens inside execute()
    QCOMPARE(task.state, TaskSpecification::Running);

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(journal.events,
             QStringList({"start:A", "end:A", "start:B", "end:B", "start:C", "end:C"}));
    QVERIFY(!journal.startedInsideEnd);
    QCOMPARE(journal.maxRunning, 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.doneCalls, 1);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::progressSumsThroughNestedTasks()
{
    Journal journal;
    TestComposed root(1, 0.5, &journal);
    auto *inner = new TestComposed(1, 0.6, &journal, &root);
    inner->add("A", StepTask::FinishInExecute, 0.5);
    inner->add("B", StepTask::FinishInExecute, 0.5);
    root.addComposed(inner);
    root.add("C", StepTask::FinishInExecute, 0.4);

    QList<qreal> values;
    connect(&root, &TaskSpecification::updateProgress, this,
            [&values](qreal value) { values << value; });
    QSignalSpy finished(&root, &TaskSpecification::finished);

    root.execute();
    QTRY_COMPARE(finished.count(), 1);

    // A: 0.5 of 0.6 of 0.5; B completes the inner task; C completes the root.
    const QList<qreal> expected = {0.15, 0.3, 0.5};
    QList<qreal> distinct;
    for (qreal v : std::as_const(values)) {
        if (distinct.isEmpty() || !qFuzzyCompare(distinct.last(), v))
            distinct << v;
    }
    QCOMPARE(distinct.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(qFuzzyCompare(distinct.at(i), expected.at(i)),
                 qPrintable(QStringLiteral("value %1 is %2").arg(i).arg(distinct.at(i))));
    QVERIFY(qFuzzyCompare(root.progress, 0.5));
}

void TestComposedTaskSpecification::parallelismIsBounded()
{
    Journal journal;
    TestComposed task(2, 1.0, &journal);
    const QStringList names = {"A", "B", "C", "D", "E"};
    for (const QString &name : names)
        task.add(name, StepTask::FinishLater, 0.2);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(journal.maxRunning, 2);
    QStringList starts;
    for (const QString &event : std::as_const(journal.events)) {
        if (event.startsWith(QLatin1String("start:")))
            starts << event.mid(6);
    }
    QCOMPARE(starts, names);
    // The third start waits for an end.
    QVERIFY(journal.events.indexOf("start:C") > journal.events.indexOf("end:A"));
    for (int i = 0; i < task.subTaskCount(); ++i)
        QCOMPARE(task.subTask(i)->executions, 1);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::failureStopsTheSequence()
{
    Journal journal;
    TestComposed task(1, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::FinishInExecute, 0.3);
    StepTask *b = task.add("B", StepTask::FailInExecute, 0.3);
    StepTask *c = task.add("C", StepTask::FinishInExecute, 0.4);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);

    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(a->state, TaskSpecification::Finished);
    QCOMPARE(b->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(c->executions, 0);
    QCOMPARE(c->state, TaskSpecification::Idle);
    QCOMPARE(task.doneCalls, 1);
    // The failing subtask's texts reach the parent unchanged; progress keeps A's share.
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("B failed"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("B error"));
    QVERIFY(qFuzzyCompare(task.progress, 0.3));
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::cancelWaitsForRunningSibling_data()
{
    QTest::addColumn<bool>("siblingFails");
    QTest::newRow("sibling finishes") << false;
    QTest::newRow("sibling fails too") << true;
}

void TestComposedTaskSpecification::cancelWaitsForRunningSibling()
{
    QFETCH(bool, siblingFails);

    Journal journal;
    TestComposed task(2, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::OnDemand, 0.3);
    StepTask *b = task.add("B", StepTask::OnDemand, 0.3);
    StepTask *c = task.add("C", StepTask::FinishInExecute, 0.4);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    QTRY_COMPARE(journal.running, 2);

    a->failNow();
    QCoreApplication::processEvents();
    QCOMPARE(task.doneCalls, 0);
    QCOMPARE(task.state, TaskSpecification::Running);
    QCOMPARE(canceled.count(), 0);

    if (siblingFails)
        b->failNow();
    else
        b->finishNow();
    QTRY_COMPARE(canceled.count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(task.doneCalls, 1);
    QCOMPARE(task.runningAtDone, 0);
    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(c->executions, 0);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::outcomePrecedence_data()
{
    QTest::addColumn<int>("firstEnd"); // 0 finish, 1 error, 2 user
    QTest::addColumn<int>("secondEnd");
    QTest::addColumn<TaskSpecification::TaskState>("expected");
    QTest::newRow("user then error") << 2 << 1 << TaskSpecification::ErrorCanceled;
    QTest::newRow("error then user") << 1 << 2 << TaskSpecification::ErrorCanceled;
    QTest::newRow("user then finish") << 2 << 0 << TaskSpecification::UserCanceled;
    QTest::newRow("finish then user") << 0 << 2 << TaskSpecification::UserCanceled;
    QTest::newRow("finish then finish") << 0 << 0 << TaskSpecification::Finished;
}

void TestComposedTaskSpecification::outcomePrecedence()
{
    QFETCH(int, firstEnd);
    QFETCH(int, secondEnd);
    QFETCH(TaskSpecification::TaskState, expected);

    Journal journal;
    TestComposed task(2, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::OnDemand, 0.5);
    StepTask *b = task.add("B", StepTask::OnDemand, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QTRY_COMPARE(journal.running, 2);
    const auto endTask = [](StepTask *t, int how) {
        if (how == 0)
            t->finishNow();
        else if (how == 1)
            t->failNow();
        else
            t->userCancelNow();
    };
    endTask(a, firstEnd);
    QCoreApplication::processEvents();
    endTask(b, secondEnd);
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(task.state, expected);
    QCOMPARE(finished.count(), expected == TaskSpecification::Finished ? 1 : 0);
    QCOMPARE(task.doneCalls, 1);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::userCancelLetsRunningSubtaskDecide_data()
{
    QTest::addColumn<bool>("withPending");
    QTest::addColumn<TaskSpecification::TaskState>("expected");
    QTest::newRow("last subtask running") << false << TaskSpecification::Finished;
    QTest::newRow("one subtask still pending") << true << TaskSpecification::UserCanceled;
}

void TestComposedTaskSpecification::userCancelLetsRunningSubtaskDecide()
{
    QFETCH(bool, withPending);
    QFETCH(TaskSpecification::TaskState, expected);

    Journal journal;
    TestComposed task(1, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::FinishInExecute, 0.3);
    StepTask *b = task.add("B", StepTask::OnDemand, 0.3);
    StepTask *c = withPending ? task.add("C", StepTask::FinishInExecute, 0.4) : nullptr;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QTRY_COMPARE(b->executions, 1);

    task.userCanceled();
    QVERIFY(task.cancelRequested);
    QVERIFY(a->cancelRequested); // ended subtasks are told too
    QVERIFY(b->cancelRequested);
    if (c)
        QVERIFY(c->cancelRequested); // and pending ones
    QCOMPARE(b->state, TaskSpecification::Running);
    QCOMPARE(task.state, TaskSpecification::Running);

    b->finishNow();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(task.state, expected);
    if (c)
        QCOMPARE(c->executions, 0);
    QCOMPARE(task.doneCalls, 1);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::timeTickSumsRunningFigures_data()
{
    QTest::addColumn<bool>("withSized");
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<bool>("downloading");
    // Caller passes 1000 / 2000 / 1 / true. Sized: A (10 of 100, 5 B/s,
    // transferring) and the nested C (1 of 50, 2 B/s). Unsized: B (7 of 0,
    // 3 B/s), and D (1 B/s) in the second row, count for the speed only.
    QTest::newRow("sized and unsized")
        << true << quint64(1011) << quint64(2150) << quint64(11) << true;
    QTest::newRow("unsized only") << false << quint64(1000) << quint64(2000) << quint64(5) << false;
}

void TestComposedTaskSpecification::timeTickSumsRunningFigures()
{
    QFETCH(bool, withSized);
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(bool, downloading);

    Journal journal;
    TestComposed task(2, 1.0, &journal);
    if (withSized) {
        StepTask *a = task.add("A", StepTask::OnDemand, 0.3);
        a->statDone = 10;
        a->statTotal = 100;
        a->statSpeed = 5;
        a->statDownloading = true;
    }
    StepTask *b = task.add("B", StepTask::OnDemand, 0.3);
    b->statDone = 7;
    b->statSpeed = 3;
    if (withSized) {
        auto *inner = new TestComposed(1, 0.4, &journal, &task);
        StepTask *c = inner->add("C", StepTask::OnDemand, 1.0);
        c->statDone = 1;
        c->statTotal = 50;
        c->statSpeed = 2;
        task.addComposed(inner);
    } else {
        StepTask *d = task.add("D", StepTask::OnDemand, 0.3);
        d->statSpeed = 1;
    }

    quint64 gotDone = 1000, gotTotal = 2000, gotSpeed = 1;
    bool gotDownloading = true;
    task.timeTick(gotDone, gotTotal, gotSpeed, gotDownloading);

    QCOMPARE(gotDone, done);
    QCOMPARE(gotTotal, total);
    QCOMPARE(gotSpeed, speed);
    QCOMPARE(gotDownloading, downloading);
}

void TestComposedTaskSpecification::resetRunsTheSameSubtasksAgain()
{
    Journal journal;
    TestComposed task(1, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::FinishInExecute, 0.5);
    StepTask *b = task.add("B", StepTask::FailInExecute, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.execute();
    QTRY_COMPARE(canceled.count(), 1);

    progress.clear();
    task.reset();
    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(a->state, TaskSpecification::Idle);
    QCOMPARE(b->state, TaskSpecification::Idle);
    QCOMPARE(task.pendingCount(), 2);
    QCOMPARE(task.progress, 0.0);
    QCOMPARE(lastProgress(progress), 0.0);

    b->behaviour = StepTask::FinishInExecute;
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(a->executions, 2);
    QCOMPARE(b->executions, 2);
    QVERIFY(qFuzzyCompare(task.progress, 1.0));
    QVERIFY(startsAndEndsPair(journal));
}

// The system's composed tasks rebuild their subtasks on every execution and
// reset only the base task, so nothing of a failed run may hold up the next.
void TestComposedTaskSpecification::rebuiltRunAfterFailureCompletes()
{
    Journal journal;
    TestComposed task(1, 1.0, &journal);
    task.recipe = {{"A", StepTask::FinishInExecute, 0.5}, {"B", StepTask::FailInExecute, 0.5}};
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QPointer<StepTask> oldA = task.subTask(0);

    task.reset();
    QCOMPARE(task.subTaskCount(), 0);
    task.recipe = {{"A", StepTask::FinishInExecute, 0.5}, {"B", StepTask::FinishInExecute, 0.5}};
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.doneCalls, 2);
    QTRY_VERIFY(oldA.isNull()); // discarded subtasks are deleted by the event loop
    QVERIFY(startsAndEndsPair(journal));
}

// Both start requests come back with nothing left to start while the outcome
// is still open; only the first may ask for it.
void TestComposedTaskSpecification::deferredOutcomeIsAskedForOnce()
{
    Journal journal;
    TestComposed task(2, 1.0, &journal);
    task.deferOutcome = true;
    task.add("A", StepTask::FinishInExecute, 0.5);
    task.add("B", StepTask::FinishInExecute, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(task.doneCalls, 1);
    QCOMPARE(finished.count(), 1);
}

// A parent that restarts at once from its canceled() signal (a retry) still
// has a start request of the abandoned run in the queue; the new run must
// not get one subtask more than maxParallel out of it.
void TestComposedTaskSpecification::restartFromCanceledKeepsTheBound()
{
    Journal journal;
    TestComposed task(2, 1.0, &journal);
    StepTask *a = task.add("A", StepTask::FailInExecute, 0.4);
    StepTask *b = task.add("B", StepTask::OnDemand, 0.3);
    StepTask *c = task.add("C", StepTask::OnDemand, 0.3);
    connect(&task, &TaskSpecification::canceled, this, [&task, a] {
        a->behaviour = StepTask::OnDemand;
        task.reset();
        task.execute();
    });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QTRY_COMPARE(journal.running, 2);
    QCoreApplication::processEvents();
    QCOMPARE(journal.maxRunning, 2);
    QCOMPARE(c->executions, 0);

    a->finishNow();
    QTRY_COMPARE(c->executions, 1);
    b->finishNow();
    c->finishNow();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(journal.maxRunning, 2);
    QVERIFY(startsAndEndsPair(journal));
}

void TestComposedTaskSpecification::staleStartRequestAfterResetIsIgnored_data()
{
    QTest::addColumn<bool>("rebuild");
    QTest::newRow("subtasks kept") << false;
    QTest::newRow("subtasks rebuilt") << true;
}

// With two start requests queued, the first subtask fails inside its execute()
// and the parent is reset from its canceled() signal. The second request
// belongs to no run any more: it must neither start a subtask of the idle
// task nor end it.
void TestComposedTaskSpecification::staleStartRequestAfterResetIsIgnored()
{
    QFETCH(bool, rebuild);

    Journal journal;
    TestComposed task(2, 1.0, &journal);
    const QList<Step> steps
        = {{"A", StepTask::FailInExecute, 0.5}, {"B", StepTask::FinishInExecute, 0.5}};
    if (rebuild)
        task.recipe = steps;
    else
        for (const Step &step : steps)
            task.add(step.name, step.behaviour, step.share);
    connect(&task, &TaskSpecification::canceled, this, [&task] { task.reset(); });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(journal.events, QStringList({"start:A", "end:A"}));
    QCOMPARE(task.doneCalls, 1);
}

// A subtask dropped by clearSubTasks() while it still runs (a retry) may end
// later; the parent must not hear of it.
void TestComposedTaskSpecification::clearedSubtaskNoLongerReachesParent()
{
    Journal journal;
    TestComposed task(1, 1.0, &journal);
    task.recipe = {{"A", StepTask::OnDemand, 1.0}};
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);

    task.execute();
    QTRY_COMPARE(journal.running, 1);
    QPointer<StepTask> a = task.subTask(0);

    task.reset();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QVERIFY(!a.isNull()); // deletion is deferred, never inside the caller's call
    a->failNow();
    QCoreApplication::processEvents();

    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(finished.count() + canceled.count(), 0);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(progress.count(), 0);
    QTRY_VERIFY(a.isNull());
}

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
