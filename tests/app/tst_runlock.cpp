#include "app/runlock.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// One updater per installation, decided by the installation's lock: starts at the same moment
// (window and headless), a start while the first is still starting, a lock held by a process
// that is no updater at all, and a temporary directory where another local user took every
// name the updater once used. All through the real executable.
class TestRunLock : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void simultaneousStartsRunOnce_data();
    void simultaneousStartsRunOnce();
    void secondStartWhileFirstIsStarting();
    void lockHeldElsewhere();
    void squattedNamesDoNotStopUpdates();

private:
    QProcessEnvironment environment(bool headless) const;
    void publishVersionTwo(bool slow);

    std::unique_ptr<UpdateSite> site;
    QMap<QString, QByteArray> versionTwo;
};

namespace {

// Whether some process holds the lock file at path.
bool isLockHeld(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

} // namespace

void TestRunLock::init()
{
    site = std::make_unique<UpdateSite>();
    QVERIFY(site->installation.isValid());
    UpdateSite::writeClient(site->installation.path(), 1);
    versionTwo = UpdateSite::expectedClient(2);
}

void TestRunLock::cleanup()
{
    site.reset();
}

QProcessEnvironment TestRunLock::environment(bool headless) const
{
    QProcessEnvironment env = site->installation.environment(
        site->tmp.path(), headless ? QString() : QStringLiteral("Ok"), site->versionServer.port());
    env.insert(QStringLiteral("VARNOLT_AUTO_START_MS"), QStringLiteral("0"));
    return env;
}

void TestRunLock::publishVersionTwo(bool slow)
{
    const QString complaint = site->publishClient(2);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    // Long enough for every start of a burst to find the first one still at work.
    if (slow)
        site->mirror.setFault(UpdateSite::levelsPath(), TestHttpMirror::Fault::trickle(15000, 100));
}

void TestRunLock::simultaneousStartsRunOnce_data()
{
    QTest::addColumn<bool>("headless");
    QTest::addColumn<int>("starts");
    QTest::addColumn<int>("rounds");

    // A burst of unattended starts (a timer and a user, a launcher clicked twice): the others
    // tell their callers with 5 that nothing was done.
    QTest::newRow("headless") << true << 8 << 3;
    // Window starts hand over to the one that runs and end with 0.
    QTest::newRow("window") << false << 4 << 1;
}

void TestRunLock::simultaneousStartsRunOnce()
{
    QFETCH(bool, headless);
    QFETCH(int, starts);
    QFETCH(int, rounds);

    publishVersionTwo(true);
    const QStringList args = headless ? QStringList {"--headless"}
                                      : QStringList {"--nouser", "client_linux_amd64", "2"};
    for (int round = 0; round < rounds; ++round) {
        UpdateSite::writeClient(site->installation.path(), 1);
        QFile::remove(site->installation.filePath(QStringLiteral("data/levels.dat")));
        std::vector<std::unique_ptr<RunningUpdater>> updaters;
        for (int i = 0; i < starts; ++i)
            updaters.push_back(
                std::make_unique<RunningUpdater>(site->installation, args, environment(headless)));
        // Each either ends or, being the one that runs, installs (a window then stays open).
        for (auto &updater : updaters) {
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             return updater->process.state() == QProcess::NotRunning
                                 || updater->log().contains(
                                     QLatin1String("Update successfully finished"));
                         },
                         60000),
                     qPrintable(updater->log()));
        }
        int running = 0;
        for (auto &updater : updaters) {
            if (!updater->log().contains(QLatin1String("Ready to update"))) {
                QVERIFY(updater->waitForEnd());
                QVERIFY2(updater->exitCode() == (headless ? 5 : 0), qPrintable(updater->log()));
                continue;
            }
            ++running;
            QVERIFY2(updater->log().contains(QLatin1String("Update successfully finished")),
                     qPrintable(updater->log()));
            if (headless) {
                QVERIFY(updater->waitForEnd());
                QCOMPARE(updater->exitCode(), 0);
            }
        }
        QCOMPARE(running, 1);
        QCOMPARE(site->clientFiles(), versionTwo);
    }
}

void TestRunLock::secondStartWhileFirstIsStarting()
{
    // The first start holds the lock at once but listens only once its window exists; here
    // its listen() is held back for a while.
    const QStringList args {"client_linux_amd64", "734"};
    RunningUpdater first(site->installation, args, environment(false),
                         {"strace", "-f", "-o", "/dev/null", "-e", "trace=listen", "-e",
                          "inject=listen:delay_enter=1500000"});
    const QString lockPath = site->installation.filePath(RunLock::fileName());
    QVERIFY2(QTest::qWaitFor([&] { return isLockHeld(lockPath); }, 20000), qPrintable(first.log()));
    QVERIFY(!first.isReady());

    RunningUpdater second(site->installation, args, environment(false));
    QVERIFY(second.waitForEnd(30000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(!second.log().contains(QLatin1String("Ready to update")), qPrintable(second.log()));
    // It handed over once the first listened, and the first goes on as the only one.
    QVERIFY2(first.waitForLog(QStringLiteral("Ready to update")), qPrintable(first.log()));
    QCOMPARE(first.process.state(), QProcess::Running);
}

void TestRunLock::lockHeldElsewhere()
{
    // Held by a process that is no updater (or one of another user): nothing to hand over to.
    const QString lockPath = site->installation.filePath(RunLock::fileName());
    const int fd
        = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);

    // Told in the user's language.
    QProcessEnvironment german = environment(true);
    german.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    german.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    const auto headless = site->installation.run({"--headless"}, german);
    QVERIFY(headless.finished);
    QCOMPARE(headless.exitCode, 5);
    QVERIFY2(headless.standardError.contains(
                 QStringLiteral("In dieser Installation läuft bereits eine Aktualisierung.")),
             qPrintable(headless.standardError));

    // A window start waits for the holder; once that has ended, it is the updater itself.
    RunningUpdater window(site->installation, {"client_linux_amd64", "734"}, environment(false));
    QTest::qWait(500);
    QVERIFY2(!window.isReady(), qPrintable(window.log()));
    ::close(fd);
    QVERIFY2(window.waitForLog(QStringLiteral("Ready to update")), qPrintable(window.log()));
}

void TestRunLock::squattedNamesDoNotStopUpdates()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make directories of another user");
    const uid_t nobody = 65534;
    // The directory the socket would use, and every session name the updater once counted
    // through, all made first by another local user and open to everyone.
    const QString tmp = site->tmp.path();
    QVERIFY(QFile::setPermissions(tmp, QFileDevice::Permissions(0x7777)));
    QStringList squatted {tmp + QStringLiteral("/varnolt-0")};
    for (int i = 0; i < 1000; ++i)
        squatted << tmp + QStringLiteral("/varnolt_temp_%1").arg(i);
    for (const QString &path : std::as_const(squatted)) {
        const QByteArray name = QFile::encodeName(path);
        QVERIFY(::mkdir(name.constData(), 0777) == 0
                && ::chown(name.constData(), nobody, nobody) == 0
                && ::chmod(name.constData(), 0777) == 0);
    }

    publishVersionTwo(true);
    RunningUpdater first(site->installation, {"--headless"}, environment(true));
    QVERIFY2(first.waitForLog(QStringLiteral("Ready to update")), qPrintable(first.log()));
    // No socket to reach it by, yet the lock still keeps a second one out.
    const auto second = site->installation.run({"--headless"}, environment(true));
    QCOMPARE(second.exitCode, 5);
    QVERIFY(first.waitForEnd());
    QVERIFY2(first.exitCode() == 0, qPrintable(first.log()));
    QCOMPARE(site->clientFiles(), versionTwo);
    // Nothing of the other user's was used or removed.
    for (const QString &path : std::as_const(squatted))
        QCOMPARE(QFileInfo(path).ownerId(), nobody);
}

QTEST_GUILESS_MAIN(TestRunLock)
#include "tst_runlock.moc"
