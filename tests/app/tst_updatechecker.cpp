#include "app/updatechecker.h"
#include "testsupport.h"

#include <QTest>

#include <dirent.h>

namespace {

int openDescriptorCount()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

} // namespace

// The version query against a real UDP server on 127.0.0.1.
class TestUpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void noAnswer();
    void ignoresOtherSenders();
    void retryKeepsEarlierFields();
    void unresolvableHost();
    void defaults();
};

void TestUpdateChecker::answers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("stable");
    QTest::addColumn<QByteArray>("beta");
    QTest::addColumn<QByteArray>("alpha");

    QTest::newRow("three versions")
        << QByteArray("850,861,872") << QByteArray("850") << QByteArray("861") << QByteArray("872");
    QTest::newRow("stable only") << QByteArray("850") << QByteArray("850") << QByteArray()
                                 << QByteArray();
    QTest::newRow("empty fields do not count")
        << QByteArray(",,872") << QByteArray("872") << QByteArray() << QByteArray();
    QTest::newRow("runs of commas")
        << QByteArray("1,,,2,3,4,") << QByteArray("1") << QByteArray("2") << QByteArray("3");
    QTest::newRow("cut after 31 bytes")
        << QByteArray("1234567890,1234567890,123456789012345678") << QByteArray("1234567890")
        << QByteArray("1234567890") << QByteArray("123456789");
    QTest::newRow("only commas") << QByteArray(",,,") << QByteArray() << QByteArray()
                                 << QByteArray();
}

void TestUpdateChecker::answers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, stable);
    QFETCH(QByteArray, beta);
    QFETCH(QByteArray, alpha);

    UdpAnswerServer server({answer});
    UpdateChecker checker("127.0.0.1", server.port(), 2000);
    const int descriptors = openDescriptorCount();
    QVERIFY(checker.checkUpdate());
    QCOMPARE(openDescriptorCount(), descriptors);
    QCOMPARE(server.firstRequest(), QByteArray("2\0", 2));
    QCOMPARE(checker.getClientStableVersion(), stable);
    QCOMPARE(checker.getClientBetaVersion(), beta);
    QCOMPARE(checker.getClientAlphaVersion(), alpha);
}

void TestUpdateChecker::noAnswer()
{
    UdpAnswerServer server({QByteArray()});
    UpdateChecker checker("127.0.0.1", server.port(), 200);
    const int descriptors = openDescriptorCount();
    QVERIFY(!checker.checkUpdate());
    // The socket is closed on the failure path too.
    QCOMPARE(openDescriptorCount(), descriptors);
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(checker.getClientStableVersion().isEmpty());
}

void TestUpdateChecker::ignoresOtherSenders()
{
    // Another local process answers first, from a port of its own.
    UdpAnswerServer server({"850,861,872"}, "1,1,1");
    UpdateChecker checker("127.0.0.1", server.port(), 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientStableVersion(), QByteArray("850"));
    QCOMPARE(checker.getClientAlphaVersion(), QByteArray("872"));
}

void TestUpdateChecker::retryKeepsEarlierFields()
{
    UdpAnswerServer server({"850,861,872", "900"});
    UpdateChecker checker("127.0.0.1", server.port(), 2000);
    QVERIFY(checker.checkUpdate());
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientStableVersion(), QByteArray("900"));
    QCOMPARE(checker.getClientBetaVersion(), QByteArray("861"));
    QCOMPARE(checker.getClientAlphaVersion(), QByteArray("872"));
}

void TestUpdateChecker::unresolvableHost()
{
    // An empty host name never resolves; no request leaves.
    UpdateChecker checker("", UpdateChecker::DefaultPort, 200);
    QVERIFY(!checker.checkUpdate());
}

void TestUpdateChecker::defaults()
{
    qputenv("VARNOLT_UPDATE_SERVER", "versions.example.org:4242");
    QCOMPARE(UpdateChecker::defaultHost(), QByteArray("versions.example.org"));
    QCOMPARE(UpdateChecker::defaultPort(), quint16(4242));
    qputenv("VARNOLT_UPDATE_SERVER", "127.0.0.1");
    QCOMPARE(UpdateChecker::defaultHost(), QByteArray("127.0.0.1"));
    QCOMPARE(UpdateChecker::defaultPort(), quint16(17384));
    qunsetenv("VARNOLT_UPDATE_SERVER");
    QVERIFY(!UpdateChecker::defaultHost().isEmpty());
    QCOMPARE(UpdateChecker::defaultPort(), quint16(17384));
}

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
