#include "app/headlessrunner.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <signal.h>

// "update --headless" through the real executable, with neither a display
// nor a platform plug-in named: exit codes, the installation each run leaves,
// cancellation by SIGTERM, the single-instance guard, and how the updater
// names itself to the mirror.
class TestHeadless : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exitCodes_data();
    void exitCodes();
    void terminationCancelsAndSecondStartIsRefused();
    void progressLine_data();
    void progressLine();

private:
    enum Setup { GoodRelease, WrongFile, NoMirrorsIni };

    QProcessEnvironment environment() const;
    void publishVersionTwo();
    QMap<QString, QByteArray> installedFiles() const;
    static QMap<QString, QByteArray> snapshot(const QString &root);

    std::unique_ptr<UpdateSite> site;
    QMap<QString, QByteArray> versionOne;
    QMap<QString, QByteArray> versionTwo;
};

namespace {

} // namespace

QMap<QString, QByteArray> TestHeadless::snapshot(const QString &root)
{
    return UpdateSite::clientFiles(root);
}

QMap<QString, QByteArray> TestHeadless::installedFiles() const
{
    return snapshot(site->installation.path());
}

void TestHeadless::init()
{
    site = std::make_unique<UpdateSite>();
    QVERIFY(site->installation.isValid());
    UpdateSite::writeClient(site->installation.path(), 1);
    versionOne = installedFiles();
    versionTwo = UpdateSite::expectedClient(2);
}

void TestHeadless::cleanup()
{
    site.reset();
}

QProcessEnvironment TestHeadless::environment() const
{
    QProcessEnvironment env
        = site->installation.environment(site->tmp.path(), QString(), site->versionServer.port());
    // Nothing that a window could be drawn with.
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

void TestHeadless::publishVersionTwo()
{
    const QString complaint = site->publishClient(2);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
}

void TestHeadless::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("installsVersionTwo");

    const QStringList headless {"--headless"};
    QTest::newRow("good release") << headless << int(GoodRelease) << 0 << true;
    QTest::newRow("wrong file and no other mirror") << headless << int(WrongFile) << 3 << false;
    QTest::newRow("no mirrors.ini")
        << QStringList {"--headless", "client_linux_amd64", "2"} << int(NoMirrorsIni) << 2 << false;
    QTest::newRow("invalid version")
        << QStringList {"--headless", "client_linux_amd64", "2x"} << int(GoodRelease) << 1 << false;
    QTest::newRow("type without version")
        << QStringList {"--headless", "client_linux_amd64"} << int(GoodRelease) << 1 << false;
}

void TestHeadless::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, setup);
    QFETCH(int, exitCode);
    QFETCH(bool, installsVersionTwo);

    publishVersionTwo();
    if (setup == WrongFile)
        site->mirror.setContent(UpdateSite::levelsPath(), pattern(300000, 'X'));
    if (setup == NoMirrorsIni)
        QVERIFY(QFile::remove(site->installation.filePath(QStringLiteral("mirrors.ini"))));

    RunningUpdater child(site->installation, args, environment());
    QVERIFY(child.waitForEnd());
    const QString log = child.log();
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.process.exitCode() == exitCode, qPrintable(log));
    QCOMPARE(installedFiles(), installsVersionTwo ? versionTwo : versionOne);

    if (setup == GoodRelease && exitCode == 0) {
        QVERIFY(log.contains(QLatin1String("Update successfully finished")));
        // Every request named the updater, its version and the client type.
        const QByteArrayList agents = site->mirror.requestHeaders("User-Agent");
        QVERIFY(agents.size() >= 3);
        const QRegularExpression expected(
            QStringLiteral("^Varnolt-Updater/\\d+\\.\\d+(\\.\\d+)? \\(client_linux_amd64\\)$"));
        for (const QByteArray &agent : agents)
            QVERIFY2(expected.match(QString::fromLatin1(agent)).hasMatch(), agent.constData());
    }
    if (setup == WrongFile)
        QVERIFY2(log.contains(QLatin1String("Update cancelled")), qPrintable(log));
    if (setup == NoMirrorsIni) {
        QVERIFY2(log.contains(QLatin1String("Error: mirrors.ini is missing, cannot proceed.")),
                 qPrintable(log));
        // The command line named the version: nothing to ask the server.
        QCOMPARE(site->versionServer.requestCount(), 0);
    }
}

void TestHeadless::terminationCancelsAndSecondStartIsRefused()
{
    publishVersionTwo();
    // Slow enough to be caught in the middle, far from its stall time-out.
    site->mirror.setFault(UpdateSite::levelsPath(), TestHttpMirror::Fault::trickle(2000, 100));

    RunningUpdater first(site->installation, {"--headless"}, environment());
    // Once a tick: the overall share and, while downloading, the transfer.
    const QRegularExpression progress(
        QStringLiteral("\\d\\d:\\d\\d:\\d\\d Progress \\d+% - \\d+ KB / \\d+ KB at \\d+ KB/s\n"));
    QVERIFY2(QTest::qWaitFor([&] { return first.log().contains(progress); }, 30000),
             qPrintable(first.log()));

    // The guard holds while the run goes on; a headless start does not hand
    // over, it tells its caller.
    const auto second = site->installation.run({"--headless"}, environment());
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 5);
    QVERIFY(!second.standardError.contains(QLatin1String("Ready to update")));
    QCOMPARE(first.process.state(), QProcess::Running);

    ::kill(pid_t(first.process.processId()), SIGTERM);
    QVERIFY(first.waitForEnd());
    QCOMPARE(first.process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(first.process.exitCode() == 4, qPrintable(first.log()));
    QVERIFY(first.log().contains(QLatin1String("User aborted update")));
    QCOMPARE(installedFiles(), versionOne);
}

void TestHeadless::progressLine_data()
{
    QTest::addColumn<qreal>("done");
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<bool>("downloading");
    QTest::addColumn<qint64>("secondsLeft");
    QTest::addColumn<QString>("line");

    QTest::newRow("fast download")
        << 0.456 << quint64(915400) << quint64(8308000) << quint64(1249999) << true << qint64(-1)
        << "Progress 45% - 915 KB / 8308 KB at 1.2 MB/s";
    QTest::newRow("time left known")
        << 0.456 << quint64(915400) << quint64(8308000) << quint64(1249999) << true << qint64(3725)
        << "Progress 45% - 915 KB / 8308 KB at 1.2 MB/s, 1:02:05 left";
    QTest::newRow("slow download")
        << 0.1 << quint64(999) << quint64(8308000) << quint64(999999) << true << qint64(-1)
        << "Progress 10% - 0 KB / 8308 KB at 999 KB/s";
    QTest::newRow("installing") << 0.8 << quint64(0) << quint64(0) << quint64(0) << false
                                << qint64(40) << "Progress 80%";
}

void TestHeadless::progressLine()
{
    QFETCH(qreal, done);
    QFETCH(quint64, bytes);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(bool, downloading);
    QFETCH(qint64, secondsLeft);
    QFETCH(QString, line);
    QCOMPARE(HeadlessRunner::progressLine(done, bytes, total, speed, downloading, secondsLeft),
             line);
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
