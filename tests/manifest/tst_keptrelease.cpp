#include "manifest/keptrelease.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

// The installed release's metadata kept in the installation, through the real headless updater
// against releases published with the real tool: a run for the installed version asks the
// mirrors nothing; a kept copy that fails any check is refused, removed and fetched anew; a kill
// while it is written leaves an installation the next run brings to the same end; and an update
// leaves exactly the files of the release it installs.
class TestKeptRelease : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void keptCopy_data();
    void keptCopy();
    void killedWhileKeeping_data();
    void killedWhileKeeping();
    void updateLeavesExactlyTheTarget();

private:
    enum Damage { None, ByteChanged, CutShort, OtherVersion, OtherType, RevokedKeyOnly, Expired };

    // Runs the updater headless for version 2 (the version server's answer) or for the
    // version given; returns its log, with its exit code checked.
    QString run(const QStringList &args = {}, const QStringList &wrapper = {}, int exitCode = 0);
    QString keptPath() const { return site->installation.filePath(KeptRelease::fileName()); }
    QString versionDir(int version) const
    {
        return site->mirrorRoot.filePath(QString::number(version));
    }
    static bool runTool(const QStringList &arguments);

    std::unique_ptr<UpdateSite> site;
    QString updater;
};

namespace {

const QString Type = QStringLiteral("client_linux_amd64");

} // namespace

void TestKeptRelease::init()
{
    updater = updaterExecutable();
    site.reset();
}

void TestKeptRelease::cleanup()
{
    site.reset();
}

bool TestKeptRelease::runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE")), arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

QString TestKeptRelease::run(const QStringList &args, const QStringList &wrapper, int exitCode)
{
    RunningUpdater child(
        site->installation, QStringList {"--headless"} + args,
        site->installation.environment(site->tmp.path(), QString(), site->versionServer.port()),
        wrapper);
    if (!child.waitForEnd())
        return QStringLiteral("did not end: ") + child.log();
    const QString log = child.log();
    if (child.exitCode() != exitCode)
        return QStringLiteral("exit code %1: %2").arg(child.exitCode()).arg(log);
    return log;
}

void TestKeptRelease::keptCopy_data()
{
    QTest::addColumn<int>("damage");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("unchanged") << int(None) << QString();
    QTest::newRow("one byte changed")
        << int(ByteChanged) << "no trusted key's signature verifies it";
    QTest::newRow("cut short") << int(CutShort) << "it is cut short";
    QTest::newRow("of another version")
        << int(OtherVersion)
        << "it is for client_linux_amd64 version 1, not the installed client_linux_amd64 "
           "version 2";
    QTest::newRow("of another type") << int(OtherType) << "it holds no client_linux_amd64.ini";
    QTest::newRow("signed only by a revoked key")
        << int(RevokedKeyOnly) << "no trusted key's signature verifies it";
    // Renewed by the release published again under the same version.
    QTest::newRow("expired") << int(Expired) << "it expired on ";
}

void TestKeptRelease::keptCopy()
{
    QFETCH(int, damage);
    QFETCH(QString, refusal);

    const bool revoked = damage == RevokedKeyOnly;
    site = std::make_unique<UpdateSite>(revoked ? QStringLiteral(VARNOLT_UPDATE_SECOND_REVOKED)
                                                : updaterExecutable());
    UpdateSite::writeClient(site->installation.path(), 1);
    const QString secondKey = QStringLiteral(VARNOLT_SECOND_PRIVATE_KEY);
    QStringList releaseArgs {"--block-lists-from", "1"};
    if (damage == Expired)
        releaseArgs << "--expires-in"
                    << "1";
    if (revoked)
        releaseArgs << "--key" << secondKey;
    QByteArray versionOneCopy;
    if (damage == OtherVersion) {
        QVERIFY(site->publishClient(1).isEmpty());
        const QString log = run({Type, "1"});
        QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
        versionOneCopy = readAll(keptPath());
        QVERIFY(!versionOneCopy.isEmpty());
    }
    QVERIFY(site->publishClient(2, releaseArgs).isEmpty());

    // The first run installs version 2 and keeps its metadata; the next finds nothing to do.
    QString log = run();
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QCOMPARE(site->clientFiles(), UpdateSite::expectedClient(2));
    const QByteArray kept = readAll(keptPath());
    QVERIFY(kept.startsWith("varnolt-kept-release 1\n"));

    QByteArray damaged = kept;
    QStringList wrapper;
    switch (Damage(damage)) {
    case None:
        break;
    case ByteChanged: {
        const qsizetype at = damaged.indexOf("version.txt");
        QVERIFY(at > 0);
        damaged[at] = 'V';
        break;
    }
    case CutShort:
        damaged.chop(100);
        break;
    case OtherVersion:
        damaged = versionOneCopy;
        break;
    case OtherType:
        damaged.replace("client_linux_amd64", "client_linux_arm64");
        break;
    case RevokedKeyOnly: {
        // The same ini with the one signature an updater revoking the second key must refuse.
        QTemporaryDir work;
        QStringList names;
        QString problem;
        QVERIFY2(KeptRelease::restore(keptPath(), work.filePath("files"), &names, &problem),
                 qPrintable(problem));
        const QString ini = work.filePath("files/" + Type + ".ini");
        QFile::remove(ini + ".sigs");
        QVERIFY(runTool({"sign", "--key", secondKey, ini}));
        QList<KeptRelease::Part> parts;
        for (const QString &name : qAsConst(names)) {
            if (QFileInfo::exists(work.filePath("files/" + name)))
                parts.append({name, work.filePath("files/" + name)});
        }
        QVERIFY2(KeptRelease::write(work.filePath("copy"), parts, &problem), qPrintable(problem));
        damaged = readAll(work.filePath("copy"));
        break;
    }
    case Expired:
        QVERIFY(
            site->publishClient(2, {"--block-lists-from", "1", "--expires-in", "30"}).isEmpty());
        // faketime preloads its library before a sanitizer's runtime, which then must not
        // insist on coming first.
        wrapper = QStringList {"env",
                               "FAKETIME_DONT_FAKE_MONOTONIC=1",
                               "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS")
                                   + ":verify_asan_link_order=0",
                               "faketime",
                               "-f",
                               "+2d"};
        break;
    }
    QVERIFY(writeFile(keptPath(), damaged));

    const int before = site->mirror.totalRequestCount();
    log = run({}, wrapper);
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QCOMPARE(site->clientFiles(), UpdateSite::expectedClient(2));
    if (refusal.isEmpty()) {
        QCOMPARE(site->mirror.totalRequestCount(), before);
        QVERIFY2(log.contains("nothing is fetched"), qPrintable(log));
        return;
    }
    QVERIFY2(log.contains("The kept metadata of the installed release (update.release) was "
                          "refused: "
                          + refusal),
             qPrintable(log));
    QVERIFY(site->mirror.totalRequestCount() > before);
    // Fetched again, and kept anew: the run after makes no request.
    QVERIFY(QFileInfo::exists(keptPath()));
    const int fetched = site->mirror.totalRequestCount();
    log = run({}, wrapper);
    QVERIFY2(log.contains("nothing is fetched"), qPrintable(log));
    QCOMPARE(site->mirror.totalRequestCount(), fetched);
}

void TestKeptRelease::killedWhileKeeping_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("number");

    // A run that finds nothing to do writes the copy: staged unnamed, linked under a temporary
    // name, renamed over the old copy. The settings and the cache are renamed into place too.
    for (const char *call : {"linkat", "rename"}) {
        for (int number = 1; number <= (QByteArray(call) == "rename" ? 3 : 2); ++number)
            QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(call).arg(number)))
                << QString::fromLatin1(call) << number;
    }
}

void TestKeptRelease::killedWhileKeeping()
{
    QFETCH(QString, call);
    QFETCH(int, number);
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QSKIP("strace is not installed");

    site = std::make_unique<UpdateSite>();
    UpdateSite::writeClient(site->installation.path(), 2);
    QVERIFY(site->publishClient(2).isEmpty());
    // The installation holds version 2 already: the run fetches the metadata and keeps it.
    site->installation.writeFile(QStringLiteral("update.ini"),
                                 "[installed]\nbound_release=true\ntype=" + Type.toUtf8()
                                     + "\nversion=2\n");
    const QString killed
        = run({},
              {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
               QStringLiteral("inject=%1:signal=SIGKILL:when=%2").arg(call).arg(number)},
              -1);
    QVERIFY2(!killed.startsWith(QLatin1String("exit code")), qPrintable(killed));
    // Whatever the instant: the copy is whole or absent, and the next runs reach the same end.
    QString log = run();
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QVERIFY2(!log.contains("refused"), qPrintable(log));
    QCOMPARE(site->clientFiles(), UpdateSite::expectedClient(2));
    const int requests = site->mirror.totalRequestCount();
    log = run();
    QVERIFY2(log.contains("nothing is fetched"), qPrintable(log));
    QCOMPARE(site->mirror.totalRequestCount(), requests);
}

void TestKeptRelease::updateLeavesExactlyTheTarget()
{
    site = std::make_unique<UpdateSite>();
    UpdateSite::writeClient(site->installation.path(), 1);
    site->installation.writeFile(QStringLiteral("data/mine.txt"), "the user's own");
    for (int version = 1; version <= 3; ++version) {
        QTemporaryDir source;
        UpdateSite::writeClient(source.path(), version);
        if (version == 3) {
            writeTreeFile(source.path(), QStringLiteral("plugins/extra/three.so"),
                          pattern(70000, '3'));
            QVERIFY(QDir(source.path()).mkpath(QStringLiteral("cache/empty")));
        }
        QVERIFY(publishRelease(source.path(), site->mirrorRoot.path(), Type, version).isEmpty());
    }

    // 1 -> 3 skips 2, and 3's delete section names nothing; 3 -> 1 goes back.
    QString log = run({Type, "3"});
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QVERIFY(QFileInfo::exists(site->installation.filePath("plugins/extra/three.so")));
    QVERIFY(QFileInfo(site->installation.filePath("cache/empty")).isDir());
    log = run({Type, "1"});
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QStringList expected = UpdateSite::expectedClient(1).keys();
    expected.append(QStringLiteral("data/mine.txt"));
    expected.sort();
    QCOMPARE(site->clientFiles().keys(), expected);
    for (const char *gone : {"plugins", "cache"})
        QVERIFY2(!QFileInfo::exists(site->installation.filePath(gone)), gone);
}

QTEST_GUILESS_MAIN(TestKeptRelease)
#include "tst_keptrelease.moc"
