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

Q_DECLARE_METATYPE(RangePace::Rule)

void TestRangePace::givesUpOnlyWhatCrawls_data()
{
    QTest::addColumn<RangePace::Rule>("rule");
    QTest::addColumn<qint64>("asked");
    // Bytes that arrive every period ticks.
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("period");
    // The tick at which it is given up, 0 for never (it completes), and why.
    QTest::addColumn<int>("givenUpAt");
    QTest::addColumn<QString>("reason");

    const RangePace::Rule rule;
    const int grace = rule.graceTicks;
    const auto row
        = [&rule](const char *name) -> QTestData & { return QTest::newRow(name) << rule; };
    row("12 KB at a byte a second") << qint64(12 * 1024) << qint64(1) << 1 << 12 + grace + 1
                                    << "23 of 12288 bytes in 23 seconds";
    // Under the stall rule of 15 ticks, a request of a day and a half before.
    row("12 KB at a byte every 15 seconds") << qint64(12 * 1024) << qint64(1) << 15
                                            << 12 + grace + 1 << "1 of 12288 bytes in 23 seconds";
    row("12 KB at 400 bytes a second")
        << qint64(12 * 1024) << qint64(400) << 1 << 12 + grace + 1 << "9200 of 12288";
    // A slow line, not a trickle: done before the window or the bound ends it.
    row("12 KB at 600 bytes a second") << qint64(12 * 1024) << qint64(600) << 1 << 0 << QString();
    row("12 KB at once") << qint64(12 * 1024) << qint64(12 * 1024) << 1 << 0 << QString();
    row("silent") << qint64(12 * 1024) << qint64(0) << 1 << 16 << "no data for 16 seconds";
    row("1 MiB at 100 bytes a second")
        << qint64(1024 * 1024) << qint64(100) << 1 << rule.windowTicks
        << "under 1024 bytes a second over 30 seconds";
    row("1 MiB at 2 KB a second") << qint64(1024 * 1024) << qint64(2048) << 1 << 0 << QString();
    // A rule of its own: 100 bytes a second over 5 seconds, 2 seconds of grace.
    const RangePace::Rule own {100, 5, 2};
    QTest::newRow("own rule, 1000 bytes at 90 a second")
        << own << qint64(1000) << qint64(90) << 1 << 5 << "under 100 bytes a second over 5 seconds";
    QTest::newRow("own rule, 1000 bytes at 70 a second, a long window")
        << RangePace::Rule {100, 50, 2} << qint64(1000) << qint64(70) << 1 << 13
        << "910 of 1000 bytes in 13 seconds";
}

void TestRangePace::givesUpOnlyWhatCrawls()
{
    QFETCH(RangePace::Rule, rule);
    QFETCH(qint64, asked);
    QFETCH(qint64, bytes);
    QFETCH(int, period);
    QFETCH(int, givenUpAt);
    QFETCH(QString, reason);

    RangePace pace(asked, 15, rule);
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
