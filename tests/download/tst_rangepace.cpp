#include "download/rangepace.h"

#include <QTest>

// When a range request is given up: a stall, a crawl over the window, or more time than its
// size allows; and never a request that keeps up.
class TestRangePace : public QObject
{
    Q_OBJECT

private slots:
    void givesUpOnlyWhatCrawls_data();
    void givesUpOnlyWhatCrawls();
};

void TestRangePace::givesUpOnlyWhatCrawls_data()
{
    QTest::addColumn<qint64>("asked");
    // Bytes that arrive every period ticks.
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("period");
    // The tick at which it is given up, 0 for never (it completes), and why.
    QTest::addColumn<int>("givenUpAt");
    QTest::addColumn<QString>("reason");

    const RangePace::Rule rule;
    const int grace = rule.graceTicks;
    QTest::newRow("12 KB at a byte a second")
        << qint64(12 * 1024) << qint64(1) << 1 << 12 + grace + 1
        << "23 of 12288 bytes in 23 seconds";
    // Under the stall rule of 15 ticks, a request of a day and a half before.
    QTest::newRow("12 KB at a byte every 15 seconds")
        << qint64(12 * 1024) << qint64(1) << 15 << 12 + grace + 1
        << "1 of 12288 bytes in 23 seconds";
    QTest::newRow("12 KB at 400 bytes a second")
        << qint64(12 * 1024) << qint64(400) << 1 << 12 + grace + 1 << "9200 of 12288";
    // A slow line, not a trickle: done before the window or the bound ends it.
    QTest::newRow("12 KB at 600 bytes a second")
        << qint64(12 * 1024) << qint64(600) << 1 << 0 << QString();
    QTest::newRow("12 KB at once") << qint64(12 * 1024) << qint64(12 * 1024) << 1 << 0 << QString();
    QTest::newRow("silent") << qint64(12 * 1024) << qint64(0) << 1 << 16
                            << "no data for 16 seconds";
    QTest::newRow("1 MiB at 100 bytes a second")
        << qint64(1024 * 1024) << qint64(100) << 1 << rule.windowTicks
        << "under 1024 bytes a second over 30 seconds";
    QTest::newRow("1 MiB at 2 KB a second")
        << qint64(1024 * 1024) << qint64(2048) << 1 << 0 << QString();
}

void TestRangePace::givesUpOnlyWhatCrawls()
{
    QFETCH(qint64, asked);
    QFETCH(qint64, bytes);
    QFETCH(int, period);
    QFETCH(int, givenUpAt);
    QFETCH(QString, reason);

    RangePace pace(asked, 15, RangePace::Rule());
    QString why;
    int tick = 0;
    while (why.isEmpty() && pace.received() < asked && tick < 100000) {
        ++tick;
        why = pace.tick(tick % period == 0 ? bytes : 0);
    }
    QCOMPARE(why.isEmpty() ? 0 : tick, givenUpAt);
    QVERIFY2(why.contains(reason), qPrintable(why));
}

QTEST_GUILESS_MAIN(TestRangePace)
#include "tst_rangepace.moc"
