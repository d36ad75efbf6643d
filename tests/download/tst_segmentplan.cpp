#include "download/segmentplan.h"

#include <QTest>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 Align = 64 * 1024;

} // namespace

// Which part of a file fetched in segments the next request takes, and what a run leaves for
// the next one.
class TestSegmentPlan : public QObject
{
    Q_OBJECT

private slots:
    void splitsHalveTheWidestWorkLeft_data();
    void splitsHalveTheWidestWorkLeft();
    void idleWorkComesBeforeAnySplit();
    void restoreReadsOnlyItsOwnLines_data();
    void restoreReadsOnlyItsOwnLines();
};

void TestSegmentPlan::splitsHalveTheWidestWorkLeft_data()
{
    QTest::addColumn<qint64>("size");
    // How far the first request has come when the third asks.
    QTest::addColumn<qint64>("firstFilled");
    QTest::addColumn<qint64>("second");
    QTest::addColumn<qint64>("third");

    QTest::newRow("fresh: the first half is halved")
        << 10 * MiB << qint64(0) << 5 * MiB << qint64(2560 * 1024);
    // 0.5 MiB left there, 5 MiB in the second: that one is halved.
    QTest::newRow("first nearly done")
        << 10 * MiB << qint64(4608 * 1024) << 5 * MiB << qint64(7680 * 1024);
    QTest::newRow("middle on the alignment")
        << 10 * MiB + 12345 << qint64(0) << 5 * MiB + Align << qint64(2560 * 1024 + Align);
    // 1.5 MiB each: halves of 0.75 MiB are under the minimum.
    QTest::newRow("nothing worth splitting")
        << 3 * MiB << qint64(0) << qint64(1536 * 1024) << qint64(-1);
    QTest::newRow("too small to split at all")
        << 2 * MiB - 1 << qint64(0) << qint64(-1) << qint64(-1);
}

void TestSegmentPlan::splitsHalveTheWidestWorkLeft()
{
    QFETCH(qint64, size);
    QFETCH(qint64, firstFilled);
    QFETCH(qint64, second);
    QFETCH(qint64, third);

    SegmentPlan plan(size, Align, MiB);
    QCOMPARE(plan.take(), qint64(0));
    QCOMPARE(plan.at(0).end, size);
    QCOMPARE(plan.take(), second);
    if (second < 0)
        return;
    QCOMPARE(plan.at(0).end, second);
    QCOMPARE(plan.at(second).end, size);
    plan.at(0).filled = firstFilled;
    QCOMPARE(plan.take(), third);
    QCOMPARE(plan.busyCount(), third < 0 ? 2 : 3);
    // The segments still tile the file.
    QCOMPARE(plan.doneBytes(), firstFilled);
    QCOMPARE(plan.prefix(), firstFilled);
}

void TestSegmentPlan::idleWorkComesBeforeAnySplit()
{
    SegmentPlan plan(10 * MiB, Align, MiB);
    QCOMPARE(plan.take(), qint64(0));
    QCOMPARE(plan.take(), 5 * MiB);
    // The second request broke off after 1 MiB: its rest is taken whole, not half of another's.
    plan.at(5 * MiB).filled = 6 * MiB;
    plan.release(5 * MiB);
    QCOMPARE(plan.take(), 5 * MiB);
    QCOMPARE(plan.at(5 * MiB).end, 10 * MiB);
    // Finished segments leave the prefix to the first one with bytes missing.
    plan.at(0).filled = 5 * MiB;
    plan.release(0);
    QCOMPARE(plan.prefix(), 6 * MiB);
    plan.at(5 * MiB).filled = 10 * MiB;
    QVERIFY(plan.complete());
    QCOMPARE(plan.take(), qint64(-1));
}

void TestSegmentPlan::restoreReadsOnlyItsOwnLines_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("prefix");
    // Runs of missing bytes.
    QTest::addColumn<int>("gaps");

    QTest::newRow("two held ranges")
        << QByteArray("segments 1000\n0 100\n500 700\n") << true << qint64(300) << qint64(100) << 2;
    QTest::newRow("held from the middle")
        << QByteArray("segments 1000\n400 500\n") << true << qint64(100) << qint64(0) << 2;
    QTest::newRow("nothing held yet")
        << QByteArray("segments 1000\n") << true << qint64(0) << qint64(0) << 1;
    QTest::newRow("complete") << QByteArray("segments 1000\n0 1000\n") << true << qint64(1000)
                              << qint64(1000) << 0;
    QTest::newRow("another size") << QByteArray("segments 999\n0 100\n") << false << qint64(0)
                                  << qint64(0) << 0;
    QTest::newRow("overlapping") << QByteArray("segments 1000\n0 600\n500 700\n") << false
                                 << qint64(0) << qint64(0) << 0;
    QTest::newRow("past the end") << QByteArray("segments 1000\n900 1001\n") << false << qint64(0)
                                  << qint64(0) << 0;
    QTest::newRow("empty range") << QByteArray("segments 1000\n5 5\n") << false << qint64(0)
                                 << qint64(0) << 0;
    QTest::newRow("not numbers") << QByteArray("segments 1000\n0 1e3\n") << false << qint64(0)
                                 << qint64(0) << 0;
    QTest::newRow("other lines") << QByteArray("[General]\nsize=1000\n") << false << qint64(0)
                                 << qint64(0) << 0;
    // Lines of a file checked by blocks of another size: a request from there would start
    // inside a block, which cannot be checked.
    QTest::newRow("off the alignment") << QByteArray("segments 1000\n450 500\n") << false
                                       << qint64(0) << qint64(0) << 0;
}

void TestSegmentPlan::restoreReadsOnlyItsOwnLines()
{
    QFETCH(QByteArray, lines);
    QFETCH(bool, taken);
    QFETCH(qint64, done);
    QFETCH(qint64, prefix);
    QFETCH(int, gaps);

    SegmentPlan plan(1000, 100, 100);
    QCOMPARE(plan.restore(lines), taken);
    QCOMPARE(plan.doneBytes(), done);
    QCOMPARE(plan.prefix(), prefix);
    if (!taken)
        return;
    // What it saves reads back the same; without splits, each gap is work for one request.
    SegmentPlan again(1000, 1, 1000);
    QVERIFY(again.restore(plan.save()));
    QCOMPARE(again.save(), plan.save());
    QCOMPARE(again.doneBytes(), done);
    int requests = 0;
    while (again.take() >= 0 && requests < 10)
        ++requests;
    QCOMPARE(requests, gaps);
}

QTEST_MAIN(TestSegmentPlan)
#include "tst_segmentplan.moc"
