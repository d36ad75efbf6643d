#include "downloadsupport.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

// Faults of this machine, not of the mirrors, met by the real executable: a disk too small or
// filling up (a size-limited tmpfs in a mount namespace of the test's own), a version that no
// mirror has, a settings save killed half way, runs killed before or after they record their
// session, a kept session whose release was published again, deletions refused at the end, and
// a link planted in a kept session.
class TestLocalFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void diskFull_data();
    void diskFull();
    void versionOnNoMirror();
    void interruptedSaveAndEmptySessionsCleanedUp();
    void killedStartLeavesNoSession_data();
    void killedStartLeavesNoSession();
    void republishedReleaseContinuesKeptSession();
    void deletionsRefusedRunStillEnds();
    void linkPlantedInKeptSession();

private:
    QProcessEnvironment environment() const;
    void publishVersionTwo(const QStringList &releaseArgs = QStringList());

    std::unique_ptr<UpdateSite> site;
    QMap<QString, QByteArray> versionOne;
    QMap<QString, QByteArray> versionTwo;
};

namespace {

// Runs the updater in a mount namespace of its own with a tmpfs of $FAULT_SIZE at $FAULT_MOUNT
// (its earlier content copied in). Once a file named $FAULT_WAIT_FOR has bytes below
// $FAULT_WAIT_IN, the tmpfs is filled up, as another program writing meanwhile would.
const char FullDiskScript[] = R"sh(
saved=$(mktemp -d "$FAULT_MOUNT.saved.XXXXXX") && cp -a "$FAULT_MOUNT/." "$saved/" || exit 90
mount -t tmpfs -o size="$FAULT_SIZE" tmpfs "$FAULT_MOUNT" || exit 91
cp -a "$saved/." "$FAULT_MOUNT/" && rm -rf "$saved" || exit 92
"$@" &
pid=$!
if [ -n "$FAULT_WAIT_FOR" ]; then
    i=0
    while [ $i -lt 1500 ] && kill -0 $pid 2>/dev/null; do
        if [ -n "$(find "$FAULT_WAIT_IN" -name "$FAULT_WAIT_FOR" -size +0 2>/dev/null)" ]; then
            dd if=/dev/zero of="$FAULT_MOUNT/filler" bs=64k 2>/dev/null
            break
        fi
        sleep 0.02
        i=$((i + 1))
    done
fi
wait $pid
)sh";

} // namespace

void TestLocalFaults::init()
{
    site = std::make_unique<UpdateSite>();
    QVERIFY(site->installation.isValid());
    UpdateSite::writeClient(site->installation.path(), 1);
    versionOne = site->clientFiles();
    versionTwo = UpdateSite::expectedClient(2);
}

void TestLocalFaults::cleanup()
{
    site.reset();
}

QProcessEnvironment TestLocalFaults::environment() const
{
    return site->installation.environment(site->tmp.path(), QString(), site->versionServer.port());
}

void TestLocalFaults::publishVersionTwo(const QStringList &releaseArgs)
{
    const QString complaint = site->publishClient(2, releaseArgs);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
}

void TestLocalFaults::diskFull_data()
{
    QTest::addColumn<bool>("installationDisk");
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("fillsUp");
    QTest::addColumn<QString>("expected");

    // Refused before the first product file is asked for.
    QTest::newRow("session disk too small") << false << "64k" << false << "to store the update: ";
    // Nothing the mirror did: it is not charged, and the file is not asked for again.
    QTest::newRow("session disk fills while downloading")
        << false << "4m" << true << "to store levels.dat";
    QTest::newRow("installation disk fills while unpacking") << true << "2m" << true << "to store ";
}

void TestLocalFaults::diskFull()
{
    QFETCH(bool, installationDisk);
    QFETCH(QString, size);
    QFETCH(bool, fillsUp);
    QFETCH(QString, expected);

    publishVersionTwo(installationDisk ? QStringList {"--gzip", "data/levels.dat"} : QStringList());
    const QString remote
        = installationDisk ? UpdateSite::levelsPath() + ".gz" : UpdateSite::levelsPath();
    site->mirror.setFault(remote,
                          TestHttpMirror::Fault::trickle(installationDisk ? 200 : 20000, 100));
    const QString mount = installationDisk ? site->installation.filePath("data") : site->tmp.path();
    QProcessEnvironment env = environment();
    env.insert("FAULT_MOUNT", mount);
    env.insert("FAULT_SIZE", size);
    env.insert("FAULT_WAIT_IN", site->tmp.path());
    env.insert("FAULT_WAIT_FOR", fillsUp ? QFileInfo(remote).fileName() : QString());

    RunningUpdater updater(site->installation, {"--headless"}, env,
                           {"unshare", "-rm", "sh", "-c", FullDiskScript, "sh"});
    QVERIFY(updater.waitForEnd());
    const QString log = updater.log();
    QVERIFY2(updater.exitCode() == 3, qPrintable(log));
    QVERIFY2(log.contains("Not enough disk space in " + mount
                          + (installationDisk ? " to store " : "/varnolt_temp_")),
             qPrintable(log));
    QVERIFY2(log.contains(expected), qPrintable(log));
    QVERIFY2(!log.contains("failed too many times"), qPrintable(log));
    QCOMPARE(site->mirror.requestCount(remote), fillsUp ? 1 : 0);
}

void TestLocalFaults::versionOnNoMirror()
{
    // Nothing published: both mirrors answer 404, as for a version not yet synced to them.
    TestHttpMirror second;
    site->installation.writeFile("mirrors.ini",
                                 mirrorsIniText({{"first", site->mirror.baseUrl(), "2"},
                                                 {"second", second.baseUrl(), "2"}}));
    RunningUpdater updater(site->installation, {"--headless"}, environment());
    QVERIFY(updater.waitForEnd());
    QVERIFY2(updater.exitCode() == 3, qPrintable(updater.log()));
    QVERIFY2(updater.log().contains(
                 "Error: Version 2 of client_linux_amd64 is not available on any mirror"),
             qPrintable(updater.log()));
    QCOMPARE(site->clientFiles(), versionOne);
}

void TestLocalFaults::interruptedSaveAndEmptySessionsCleanedUp()
{
    publishVersionTwo();
    // Killed as the session record replaces update.ini: its temporary copy stays behind. (The
    // first rename puts the single-instance socket in place.)
    site->installation.writeFile("update.ini", "[update]\nstreams=6\n");
    RunningUpdater killed(site->installation, {"--headless"}, environment(),
                          {"strace", "-f", "-o", "/dev/null", "-e", "trace=rename", "-e",
                           "inject=rename:signal=SIGKILL:when=2"});
    QVERIFY(killed.waitForEnd());
    const QDir root(site->installation.path());
    const QStringList saveLeftovers
        = root.entryList({"update.ini.*"}, QDir::Files | QDir::Hidden)
              .filter(QRegularExpression("^update\\.ini\\.[A-Za-z0-9]{6}$"));
    QVERIFY2(!saveLeftovers.isEmpty(), qPrintable(killed.log()));

    // Session directories nobody recorded: empty and old, empty and new, old but not empty
    // (an older updater's, unmarked, or another installation's), and old holding only the empty
    // marker of a run killed while writing it.
    const QString orphan = site->tmp.filePath("varnolt_temp_4711");
    const QString fresh = site->tmp.filePath("varnolt_temp_4712");
    const QString kept = site->tmp.filePath("varnolt_temp_4713");
    const QString foreign = site->tmp.filePath("varnolt_temp_4714");
    const QString unfinished = site->tmp.filePath("varnolt_temp_4715");
    for (const QString &dir : {orphan, fresh, kept, foreign, unfinished})
        QVERIFY(QDir().mkpath(dir));
    QVERIFY(writeFile(kept + "/partial", "bytes"));
    QVERIFY(
        writeFile(foreign + "/varnolt::session",
                  "varnolt-session 1\nlock 1 2\nroot " + QFile::encodeName(root.path()) + "\n"));
    QVERIFY(writeFile(foreign + "/partial", "bytes"));
    QVERIFY(writeFile(unfinished + "/varnolt::session", QByteArray()));
    struct utimbuf old
    {
    };
    old.actime = old.modtime = time(nullptr) - 3600;
    for (const QString &dir : {orphan, kept, foreign, unfinished})
        QCOMPARE(::utime(QFile::encodeName(dir).constData(), &old), 0);

    RunningUpdater next(site->installation, {"--headless"}, environment());
    QVERIFY(next.waitForEnd());
    QVERIFY2(next.exitCode() == 0, qPrintable(next.log()));
    QCOMPARE(site->clientFiles(), versionTwo);
    QCOMPARE(root.entryList({"update.ini.*"}, QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(!QFileInfo::exists(orphan));
    QVERIFY(!QFileInfo::exists(unfinished));
    QVERIFY(QFileInfo(fresh).isDir());
    QVERIFY(QFileInfo::exists(kept + "/partial"));
    QVERIFY(QFileInfo::exists(foreign + "/partial"));
}

void TestLocalFaults::killedStartLeavesNoSession_data()
{
    QTest::addColumn<QString>("heldAnswer");
    QTest::addColumn<QString>("killedAtOpen");
    QTest::addColumn<int>("installed");
    QTest::addColumn<bool>("otherInstallation");
    QTest::addColumn<bool>("recorded");

    // Killed before the session is recorded: the next start of this installation removes what
    // the run left, whatever it holds.
    QTest::newRow("while the ini downloads") << "client_linux_amd64.ini.gz"
                                             << "" << 1 << false << false;
    QTest::newRow("while the signature downloads") << "client_linux_amd64.ini.sig"
                                                   << "" << 1 << false << false;
    QTest::newRow("while the digests file downloads") << "client_linux_amd64.digests.gz"
                                                      << "" << 1 << false << false;
    QTest::newRow("while the lists are built") << ""
                                               << "data/version.txt" << 1 << false << false;
    QTest::newRow("during a run with nothing to do") << ""
                                                     << "data/levels.dat" << 2 << false << false;
    // Another installation's updater, sharing the temporary directory, may be at work in its
    // own session: that stays.
    QTest::newRow("another installation killed") << "client_linux_amd64.ini.sig"
                                                 << "" << 1 << true << false;
    // A recorded session is continued, not removed.
    QTest::newRow("killed after recording") << "client_linux_amd64/data/levels.dat"
                                            << "" << 1 << false << true;
}

void TestLocalFaults::killedStartLeavesNoSession()
{
    QFETCH(QString, heldAnswer);
    QFETCH(QString, killedAtOpen);
    QFETCH(int, installed);
    QFETCH(bool, otherInstallation);
    QFETCH(bool, recorded);

    publishVersionTwo();
    UpdateSite::writeClient(site->installation.path(), installed);
    InstallationDir other;
    QVERIFY(other.isValid());
    UpdateSite::writeClient(other.path(), 1);
    other.writeMirrorsIni(site->mirror.baseUrl());
    const InstallationDir &killedIn = otherInstallation ? other : site->installation;
    const QProcessEnvironment env
        = killedIn.environment(site->tmp.path(), QString(), site->versionServer.port());

    {
        QStringList wrapper;
        if (!killedAtOpen.isEmpty())
            wrapper = {"strace", "-f",
                       "-o",     "/dev/null",
                       "-P",     killedIn.filePath(killedAtOpen),
                       "-e",     "trace=open,openat",
                       "-e",     "inject=open,openat:signal=SIGKILL"};
        const QString held = "/2/" + heldAnswer;
        if (!heldAnswer.isEmpty())
            site->mirror.setFault(held, TestHttpMirror::Fault::stall(0));
        RunningUpdater killed(killedIn, {"--headless"}, env, wrapper);
        if (!heldAnswer.isEmpty())
            QVERIFY(QTest::qWaitFor([&] { return site->mirror.requestCount(held) > 0; }, 30000));
        if (wrapper.isEmpty())
            ::kill(pid_t(killed.process.processId()), SIGKILL);
        QVERIFY(killed.waitForEnd());
        QVERIFY2(killed.exitCode() == -1, qPrintable(killed.log()));
    }
    site->mirror.clearFaults();
    // What a killed start leaves: its session directory, not empty.
    const QString left = site->sessionFile(QString());
    QVERIFY(!left.isEmpty());
    QVERIFY(!QDir(left).isEmpty());
    // Links planted in it are removed, never followed.
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath("precious"), "precious"));
    if (!recorded && !otherInstallation) {
        QVERIFY(QFile::link(outside.path(), left + "linked-dir"));
        QVERIFY(QFile::link(outside.filePath("precious"), left + "linked-file"));
        QVERIFY(writeTreeFile(left, "deeper/still/file", "bytes"));
    }

    RunningUpdater next(site->installation, {"--headless"}, environment());
    QVERIFY(next.waitForEnd());
    QVERIFY2(next.exitCode() == 0, qPrintable(next.log()));
    QCOMPARE(site->clientFiles(), versionTwo);
    // Found only while its directory is there.
    QVERIFY2(next.log().contains("Previous update session for v. 2 found") == recorded,
             qPrintable(next.log()));
    const QStringList sessions
        = QDir(site->tmp.path()).entryList({"varnolt_temp_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    if (otherInstallation) {
        QCOMPARE(sessions.size(), 1);
        QVERIFY(QFileInfo::exists(left + "client_linux_amd64.ini"));
    } else {
        QCOMPARE(sessions, QStringList());
    }
    QCOMPARE(readAll(outside.filePath("precious")), QByteArray("precious"));
}

void TestLocalFaults::republishedReleaseContinuesKeptSession()
{
    publishVersionTwo();
    // A mirror that fails once is dropped: any charge ends the run.
    site->installation.writeFile("mirrors.ini",
                                 mirrorsIniText({{"local", site->mirror.baseUrl(), "1"}}));
    site->mirror.setFault(UpdateSite::levelsPath(), TestHttpMirror::Fault::trickle(20000, 100));
    {
        RunningUpdater first(site->installation, {"--headless"}, environment());
        QVERIFY(QTest::qWaitFor(
            [&] { return QFileInfo(site->sessionFile("data/levels.dat")).size() > 0; }, 30000));
        ::kill(pid_t(first.process.processId()), SIGTERM);
        QVERIFY(first.waitForEnd());
        QCOMPARE(first.exitCode(), 4);
    }
    site->mirror.clearFaults();

    // Version 2 published again with other content: the kept ini and the half of levels.dat no
    // longer match what the mirror serves.
    QTemporaryDir source;
    UpdateSite::writeClient(source.path(), 2);
    writeTreeFile(source.path(), "data/levels.dat", QByteArray(250000, 'r'));
    writeTreeFile(source.path(), "data/version.txt", "version 2, published again");
    const QString complaint = publishRelease(source.path(), site->mirrorRoot.path(),
                                             QStringLiteral("client_linux_amd64"), 2, {"--force"});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));

    RunningUpdater next(site->installation, {"--headless"}, environment());
    QVERIFY(next.waitForEnd());
    const QString log = next.log();
    QVERIFY2(next.exitCode() == 0, qPrintable(log));
    QVERIFY2(log.contains("signed anew"), qPrintable(log));
    QVERIFY2(!log.contains("invalidating mirror") && !log.contains("failed too many times"),
             qPrintable(log));
    QCOMPARE(site->clientFiles(), UpdateSite::clientFiles(source.path()));
}

void TestLocalFaults::deletionsRefusedRunStillEnds()
{
    publishVersionTwo();
    // Every deletion fails, as in a directory that refuses them: the session's files stay, and
    // the settings library's lock file could not go after the first save.
    QProcessEnvironment env = environment();
    // The leak checker of a sanitizer build cannot work under ptrace and fails the exit.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
    RunningUpdater updater(site->installation, {"--headless"}, env,
                           {"strace", "-f", "-o", "/dev/null", "-e", "trace=unlink,unlinkat", "-e",
                            "inject=unlink,unlinkat:error=EPERM"});
    QVERIFY2(updater.waitForEnd(60000), qPrintable(updater.log()));
    const QString log = updater.log();
    QVERIFY2(updater.exitCode() == 0, qPrintable(log));
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QVERIFY2(log.contains("Could not remove "), qPrintable(log));
    QCOMPARE(readAll(site->installation.filePath("data/levels.dat")), UpdateSite::levelsContent());
    QCOMPARE(readAll(site->installation.filePath("data/version.txt")), QByteArray("version 2"));
}

void TestLocalFaults::linkPlantedInKeptSession()
{
    publishVersionTwo();
    site->mirror.setFault(UpdateSite::levelsPath(), TestHttpMirror::Fault::trickle(20000, 100));
    {
        RunningUpdater first(site->installation, {"--headless"}, environment());
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QString partial = site->sessionFile("data/levels.dat");
                return !partial.isEmpty() && QFileInfo(partial).size() > 0;
            },
            30000));
        ::kill(pid_t(first.process.processId()), SIGTERM);
        QVERIFY(first.waitForEnd());
        QCOMPARE(first.exitCode(), 4);
    }
    // The kept partial file becomes a link to a file of the user's elsewhere.
    const QString partial = site->sessionFile("data/levels.dat");
    QVERIFY(!partial.isEmpty());
    QTemporaryDir outside;
    const QString target = outside.filePath("precious");
    const QByteArray precious = readAll(partial);
    QVERIFY(writeFile(target, precious));
    QVERIFY(QFile::remove(partial));
    QVERIFY(QFile::link(target, partial));

    site->mirror.clearFaults();
    RunningUpdater second(site->installation, {"--headless"}, environment());
    QVERIFY(second.waitForEnd());
    QVERIFY2(second.exitCode() == 0, qPrintable(second.log()));
    QCOMPARE(site->clientFiles(), versionTwo);
    QCOMPARE(readAll(target), precious);
    QCOMPARE(QFileInfo(target).size(), qint64(precious.size()));
}

QTEST_GUILESS_MAIN(TestLocalFaults)
#include "tst_localfaults.moc"
