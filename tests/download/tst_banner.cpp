#include "download/banner.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

// The banner query against a real UDP server on 127.0.0.1, with the answer
// time-out shortened.
class TestBanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void silentServerGetsTwoRequests();
};

void TestBanner::initTestCase()
{
    qputenv("VARNOLT_UPDATE_SERVER", "127.0.0.1");
}

void TestBanner::answers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("emitted");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("click");

    QTest::newRow("image and link") << QByteArray("http://b.example/x.png,http://b.example/")
                                    << true << "http://b.example/x.png"
                                    << "http://b.example/";
    QTest::newRow("leading comma gives an empty image")
        << QByteArray(",http://b.example/") << true << ""
        << "http://b.example/";
    QTest::newRow("no comma") << QByteArray("http://b.example/x.png") << false << ""
                              << "";
    QTest::newRow("two commas") << QByteArray("a,b,c") << false << ""
                                << "";
}

void TestBanner::answers()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, emitted);
    QFETCH(QString, image);
    QFETCH(QString, click);

    UdpAnswerServer server({answer});
    Banner banner(nullptr, server.port(), 100);
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(server.requestCount(), 1);
    QCOMPARE(server.firstRequest(), QByteArray("\x01\x01", 2));
    if (emitted) {
        QTRY_COMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toString(), image);
        QCOMPARE(found.at(0).at(1).toString(), click);
    }
    // An answer of any kind ends the query: no resend, no second banner.
    QTest::qWait(300);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(found.count(), emitted ? 1 : 0);
}

void TestBanner::silentServerGetsTwoRequests()
{
    UdpAnswerServer server({QByteArray()});
    Banner banner(nullptr, server.port(), 100);
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QTRY_COMPARE(server.requestCount(), 2);
    QTest::qWait(400);
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(banner.requestsSent(), 2);
    QCOMPARE(found.count(), 0);
}

QTEST_GUILESS_MAIN(TestBanner)
#include "tst_banner.moc"
