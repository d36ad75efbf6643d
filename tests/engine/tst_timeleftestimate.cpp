#include "engine/timeleftestimate.h"

#include <QTest>

// The time left that the window and the headless line show, from the ticks' figures.
class TestTimeLeftEstimate : public QObject
{
    Q_OBJECT

private slots:
    void estimateFollowsTheSpeed_data();
    void estimateFollowsTheSpeed();
    void format_data();
    void format();
};

void TestTimeLeftEstimate::estimateFollowsTheSpeed_data()
{
    QTest::addColumn<QList<quint64>>("speeds");
    QTest::addColumn<qint64>("secondsLeft");

    // 10 MB to go after the ticks (done is counted from the speeds); 1 MB a second: 10 s.
    QTest::newRow("too early") << QList<quint64> {1000000, 1000000} << qint64(-1);
    QTest::newRow("steady") << QList<quint64> {1000000, 1000000, 1000000} << qint64(10);
    // A second at ten times the speed moves the average by less than a half...
    QTest::newRow("one fast second")
        << QList<quint64> {1000000, 1000000, 1000000, 10000000} << qint64(10);
    // ... and a stall for a few seconds by a fraction: the text stays readable.
    QTest::newRow("a short stall")
        << QList<quint64> {1000000, 1000000, 1000000, 0, 0} << qint64(15);
    QTest::newRow("nothing arrives") << QList<quint64> {0, 0, 0, 0} << qint64(-1);
    // Rounded up to 10 s from a minute on, to whole minutes from an hour on.
    QTest::newRow("slow line") << QList<quint64> {61000, 61000, 61000} << qint64(170);
    QTest::newRow("very slow line") << QList<quint64> {2000, 2000, 2000} << qint64(5040);
}

void TestTimeLeftEstimate::estimateFollowsTheSpeed()
{
    QFETCH(QList<quint64>, speeds);
    QFETCH(qint64, secondsLeft);

    quint64 total = 10000000;
    for (const quint64 speed : std::as_const(speeds))
        total += speed;
    TimeLeftEstimate estimate;
    quint64 done = 0;
    for (const quint64 speed : std::as_const(speeds)) {
        done += speed;
        estimate.tick(done, total, speed, true);
    }
    QCOMPARE(estimate.secondsLeft(), secondsLeft);
    // A tick without a download starts afresh.
    estimate.tick(0, 0, 0, false);
    QCOMPARE(estimate.secondsLeft(), qint64(-1));
}

void TestTimeLeftEstimate::format_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("seconds") << qint64(5) << "0:05";
    QTest::newRow("minutes") << qint64(170) << "2:50";
    QTest::newRow("hours") << qint64(5040) << "1:24:00";
}

void TestTimeLeftEstimate::format()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(TimeLeftEstimate::format(seconds), text);
}

QTEST_GUILESS_MAIN(TestTimeLeftEstimate)
#include "tst_timeleftestimate.moc"
