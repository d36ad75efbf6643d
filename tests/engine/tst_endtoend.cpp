#include "downloadsupport.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <functional>

// Whole updates through the real executable: an installation of version 1
// with its own update.ini and mirrors.ini, a local version server, and
// version 2 on a local mirror, published with the release tool.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void updatesToTheNewVersion();
    void fetchesOnlyTheChangedBlocks_data();
    void fetchesOnlyTheChangedBlocks();
    void largeFileComesInCheckedSegments_data();
    void largeFileComesInCheckedSegments();
    void failedInstallationLeavesVersionOne();
    void errorBoxesWhileDownloadsFail();
    void killedRunIsResumedByTheNext();
    void manifestSizesDecideNothing_data();
    void manifestSizesDecideNothing();
    void everyNameRoundTrips_data();
    void everyNameRoundTrips();
    void releaseDirectories();

private:
    struct Outcome
    {
        bool ended = false;
        // Still running lingerMs after the run had ended.
        bool alive = false;
        QString log;
    };
    // Runs "update --nouser" until the run has ended and then lingerMs more;
    // the window then waits for the user, so the process is stopped.
    Outcome runUpdater(const QProcessEnvironment &extra = QProcessEnvironment(), int lingerMs = 0);
    void publishVersionTwo(const QMap<QString, QByteArray> &extraFiles = {},
                           const QStringList &extraArgs = {});
    static QMap<QString, QByteArray> snapshot(const QString &root);
    // Replaces the published product ini of version 2 by edit(its text), signed anew.
    void rewriteManifest(const std::function<QByteArray(QByteArray)> &edit);
    // The release's metadata the run fetched: ini, digests or side file, and the lists of the
    // stored files in listed (below the version, without "client_linux_amd64/").
    void checkMetadataFetched(bool listsApart, const QStringList &listed);

    std::unique_ptr<UpdateSite> site;
    QMap<QString, QByteArray> versionOne;
};

namespace {

const QStringList SettingsFiles {"update",       "update.ini",     "update.lock",
                                 "update.state", "update.release", "mirrors.ini"};

void writeClient(const QString &root, int version)
{
    writeTreeFile(root, QStringLiteral("vl3client_runscript.sh"),
                  "#!/bin/sh\necho " + QByteArray::number(version) + "\n");
    writeTreeFile(root, QStringLiteral("data/common.dat"), QByteArray(100000, 'c'));
    writeTreeFile(root, QStringLiteral("data/version.txt"),
                  "version " + QByteArray::number(version));
    if (version == 1) {
        writeTreeFile(root, QStringLiteral("data/obsolete.txt"), "obsolete");
    } else {
        QByteArray levels;
        for (int i = 0; i < 20000; ++i)
            levels += QByteArray::number(i * 7919 % 10007) + ',';
        writeTreeFile(root, QStringLiteral("data/levels/levels.dat"), levels);
        writeTreeFile(root, QStringLiteral("lib/libclient.so.4"), "library");
    }
}

} // namespace

QMap<QString, QByteArray> TestEndToEnd::snapshot(const QString &root)
{
    return treeDigests(root, SettingsFiles);
}

void TestEndToEnd::init()
{
    site = std::make_unique<UpdateSite>();
    QVERIFY(site->installation.isValid());
    writeClient(site->installation.path(), 1);
    versionOne = snapshot(site->installation.path());
}

void TestEndToEnd::cleanup()
{
    site.reset();
}

void TestEndToEnd::publishVersionTwo(const QMap<QString, QByteArray> &extraFiles,
                                     const QStringList &extraArgs)
{
    QTemporaryDir source;
    writeClient(source.path(), 2);
    for (auto it = extraFiles.cbegin(); it != extraFiles.cend(); ++it)
        QVERIFY(writeTreeFile(source.path(), it.key(), it.value()));
    const QString complaint = publishRelease(
        source.path(), site->mirrorRoot.path(), QStringLiteral("client_linux_amd64"), 2,
        QStringList {"--gzip", "data/levels/levels.dat", "--delete", "data/obsolete.txt"}
            + extraArgs);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
}

void TestEndToEnd::rewriteManifest(const std::function<QByteArray(QByteArray)> &edit)
{
    const QString ini = site->mirrorRoot.filePath(QStringLiteral("2/client_linux_amd64.ini"));
    const QByteArray text = edit(readAll(ini));
    QVERIFY(writeFile(ini, text));
    QFile::remove(ini + ".sig");
    QProcess sign;
    sign.start(QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE")),
               {"sign", "--key", QString::fromLocal8Bit(qgetenv("VARNOLT_SIGNING_KEY")), ini});
    QVERIFY(sign.waitForFinished(30000));
    QCOMPARE(sign.exitCode(), 0);
}

TestEndToEnd::Outcome TestEndToEnd::runUpdater(const QProcessEnvironment &extra, int lingerMs)
{
    Outcome outcome;
    QProcess process;
    QProcessEnvironment env = site->installation.environment(site->tmp.path(), QStringLiteral("Ok"),
                                                             site->versionServer.port());
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(site->installation.path());
    process.start(site->installation.executable(), {QStringLiteral("--nouser")});
    // The mirror lives in this process: keep its event loop turning while
    // waiting for the child.
    outcome.ended = QTest::qWaitFor(
        [&] {
            outcome.log += QString::fromLocal8Bit(process.readAllStandardError());
            return outcome.log.contains(QLatin1String("Update successfully finished"))
                || outcome.log.contains(QLatin1String("Update cancelled"))
                || process.state() == QProcess::NotRunning;
        },
        60000);
    outcome.alive = process.state() != QProcess::NotRunning;
    if (outcome.ended && outcome.alive && lingerMs > 0)
        outcome.alive
            = !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, lingerMs);
    process.kill();
    process.waitForFinished(5000);
    outcome.log += QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

void TestEndToEnd::updatesToTheNewVersion()
{
    publishVersionTwo();
    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.ended, qPrintable(outcome.log));
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QCOMPARE(site->versionServer.requestCount(), 1);

    QTemporaryDir expected;
    writeClient(expected.path(), 2);
    QCOMPARE(snapshot(site->installation.path()), snapshot(expected.path()));
    // Unchanged files were not fetched at all.
    QCOMPARE(site->mirror.requestCount(QStringLiteral("/2/client_linux_amd64/data/common.dat")), 0);
    QCOMPARE(QFile::permissions(site->installation.filePath(QStringLiteral("lib/libclient.so.4")))
                 & (QFile::ExeOwner | QFile::WriteOther),
             QFile::ExeOwner);
    // No temporary files and no session record are left.
    QVERIFY(QDir(site->tmp.path()).entryList({"varnolt_temp_*"}, QDir::AllEntries).isEmpty());
    QSettings settings(site->installation.filePath(QStringLiteral("update.ini")),
                       QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains(QLatin1String("current")));
    // What was installed is remembered, so that the server cannot take it back.
    QCOMPARE(settings.value(QStringLiteral("installed/type")).toString(),
             QStringLiteral("client_linux_amd64"));
    QCOMPARE(settings.value(QStringLiteral("installed/version")).toInt(), 2);
}

void TestEndToEnd::fetchesOnlyTheChangedBlocks_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<qint64>("servedAtMost");
    // The release has a digests file, and each list in a file of its own.
    QTest::addColumn<bool>("listsApart");
    // Three places of a few 4 KiB blocks each; compressed, each block is some 2 KB.
    QTest::newRow("stored as it is") << false << qint64(40000) << false;
    QTest::newRow("stored compressed") << true << qint64(30000) << false;
    QTest::newRow("stored as it is, lists apart") << false << qint64(40000) << true;
    QTest::newRow("stored compressed, lists apart") << true << qint64(30000) << true;
}

void TestEndToEnd::checkMetadataFetched(bool listsApart, const QStringList &listed)
{
    const QString release = QStringLiteral("/2/client_linux_amd64");
    // The digests file in place of the side file, and only the lists of the files that use one.
    QCOMPARE(site->mirror.requestCount(release + ".hashes"), listsApart ? 0 : 1);
    QCOMPARE(site->mirror.requestCount(release + ".digests.gz"), listsApart ? 1 : 0);
    QCOMPARE(site->mirror.requestCount(release + ".digests"), 0);
    QCOMPARE(site->mirror.requestCount(release + ".ini.gz"), 1);
    QCOMPARE(site->mirror.requestCount(release + ".ini"), listsApart ? 0 : 1);
    const QStringList lists = site->mirror.requestLog().filter("::blocks");
    QStringList expected;
    for (const QString &path : listed)
        expected.append(release.mid(1) + '/' + path + "::blocks.gz");
    QCOMPARE(lists, listsApart ? expected : QStringList());
}

void TestEndToEnd::fetchesOnlyTheChangedBlocks()
{
    QFETCH(bool, compressed);
    QFETCH(qint64, servedAtMost);
    QFETCH(bool, listsApart);

    // 1.5 MB, over the release tool's threshold for block lists, changed in three places;
    // random bytes as they are, words compressed.
    QRandomGenerator generator(5);
    QByteArray installed;
    while (installed.size() < 1500000) {
        if (compressed)
            installed += QByteArray::number(generator.bounded(5000), 36) + ' ';
        else
            installed += char(generator.bounded(256));
    }
    QByteArray changed = installed;
    changed.replace(0, 100, QByteArray(100, 'x'));
    changed.insert(700000, QByteArray(3000, 'y'));
    changed.replace(changed.size() - 50, 50, QByteArray(50, 'z'));
    site->installation.writeFile(QStringLiteral("data/big.pak"), installed);
    publishVersionTwo({{QStringLiteral("data/big.pak"), changed}},
                      compressed ? QStringList {"--gzip", "data/big.pak"} : QStringList());
    if (!listsApart) {
        const QString complaint = publishAsBeforeDigests(site->mirrorRoot.path(),
                                                         QStringLiteral("client_linux_amd64"), 2);
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    }

    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    const QString served = QStringLiteral("/2/client_linux_amd64/data/big.pak")
        + (compressed ? QLatin1String(".gz") : QLatin1String(""));
    QVERIFY2(outcome.log.contains(QRegularExpression(
                 QRegularExpression::escape(served.mid(3))
                 + ": 9[89] % reused from the installed file, \\d+ KB to fetch")),
             qPrintable(outcome.log));
    QVERIFY2(!outcome.log.contains(QLatin1String("fetching the whole file")),
             qPrintable(outcome.log));
    QCOMPARE(readAll(site->installation.filePath(QStringLiteral("data/big.pak"))), changed);
    QVERIFY2(site->mirror.bodyBytesSent(served) < servedAtMost,
             qPrintable(QString::number(site->mirror.bodyBytesSent(served))));
    QVERIFY(site->mirror.requestCount(served) <= 3);
    checkMetadataFetched(listsApart, {served.mid(22)});
}

void TestEndToEnd::largeFileComesInCheckedSegments_data()
{
    QTest::addColumn<bool>("listsApart");
    QTest::newRow("lists in the side file") << false;
    QTest::newRow("lists apart") << true;
}

void TestEndToEnd::largeFileComesInCheckedSegments()
{
    QFETCH(bool, listsApart);
    // Two entries of one server are two mirrors to the updater; from 1 MiB on a file comes in
    // segments, each block checked against the side file's list as it arrives.
    site->installation.writeFile(QStringLiteral("mirrors.ini"),
                                 mirrorsIniText({{"one", site->mirror.baseUrl(), "5"},
                                                 {"two", site->mirror.baseUrl(), "5"}}));
    site->installation.writeFile(QStringLiteral("update.ini"),
                                 "[update]\nsegmentfrom=1\nsegmentpace=0\n");
    const QByteArray movie = randomBytes(11, 1500000);
    publishVersionTwo({{QStringLiteral("data/movie.pak"), movie}});
    if (!listsApart) {
        const QString complaint = publishAsBeforeDigests(site->mirrorRoot.path(),
                                                         QStringLiteral("client_linux_amd64"), 2);
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    }
    const QString served = QStringLiteral("/2/client_linux_amd64/data/movie.pak");
    site->mirror.setFault(served, TestHttpMirror::Fault::corrupt(1000000).times(1));

    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QCOMPARE(readAll(site->installation.filePath(QStringLiteral("data/movie.pak"))), movie);
    QVERIFY2(outcome.log.contains(QRegularExpression(
                 "data/movie.pak: block \\d+ from mirror (one|two) failed its check")),
             qPrintable(outcome.log));
    QVERIFY2(!outcome.log.contains(QLatin1String("fetching it whole")), qPrintable(outcome.log));
    checkMetadataFetched(listsApart, {QStringLiteral("data/movie.pak")});
}

void TestEndToEnd::failedInstallationLeavesVersionOne()
{
    // A signed manifest whose unpacked file does not match: everything
    // installed before the mismatch must be undone.
    publishVersionTwo();
    QTemporaryDir expected;
    writeClient(expected.path(), 2);
    const QByteArray levelsMd5
        = md5OfFile(expected.filePath(QStringLiteral("data/levels/levels.dat"))).toLatin1();
    QVERIFY(readAll(site->mirrorRoot.filePath(QStringLiteral("2/client_linux_amd64.ini")))
                .contains(levelsMd5));
    rewriteManifest([&](QByteArray text) { return text.replace(levelsMd5, QByteArray(32, '0')); });

    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.ended, qPrintable(outcome.log));
    QVERIFY2(outcome.log.contains(QLatin1String("rolling back file updates")),
             qPrintable(outcome.log));
    QVERIFY(outcome.log.contains(QLatin1String("Update cancelled")));
    QVERIFY(!outcome.log.contains(QLatin1String("Update successfully finished")));
    // Byte for byte version 1: no new file, no moved-aside copy, no new
    // directory, nothing deleted.
    QCOMPARE(snapshot(site->installation.path()), versionOne);
    // The downloads stay for the next attempt.
    QCOMPARE(QDir(site->tmp.path()).entryList({"varnolt_temp_*"}, QDir::Dirs).size(), 1);
}

void TestEndToEnd::errorBoxesWhileDownloadsFail()
{
    // An interrupted session left directories where two of the files go, so
    // two downloads fail while the others run. A failure's error box must not
    // keep its download suspended under the box's event loop: the run ends
    // meanwhile and its tasks are deleted there.
    publishVersionTwo();
    const QString session = site->tmp.filePath(QStringLiteral("varnolt_temp_0"));
    QVERIFY(QDir().mkpath(session + QLatin1String("/data/levels/levels.dat.gz")));
    QVERIFY(QDir().mkpath(session + QLatin1String("/data/version.txt")));
    QVERIFY(QFile::setPermissions(session, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    site->installation.writeFile(
        QStringLiteral("update.ini"),
        "[current]\nversion=2\ntype=client_linux_amd64\ndir=" + QFile::encodeName(session) + "\n");

    // Freed memory is overwritten, so that a use after free also fails in a
    // build without sanitizers.
    QProcessEnvironment perturb;
    perturb.insert(QStringLiteral("MALLOC_PERTURB_"), QStringLiteral("165"));
    const Outcome outcome = runUpdater(perturb, 1000);
    QVERIFY2(outcome.ended, qPrintable(outcome.log));
    QVERIFY2(outcome.alive, qPrintable(outcome.log));
    QVERIFY2(!outcome.log.contains(QLatin1String("Sanitizer"))
                 && !outcome.log.contains(QLatin1String("runtime error")),
             qPrintable(outcome.log));
    QVERIFY(outcome.log.contains(QLatin1String("Previous update session for v. 2 found")));
    const qsizetype errorBox = outcome.log.indexOf(QLatin1String("Error: Unable to create file "));
    const qsizetype cancelBox = outcome.log.indexOf(
        QLatin1String("Update: Update cancelled. Push \"Details\" to check reasons."));
    QVERIFY2(errorBox >= 0 && cancelBox > errorBox, qPrintable(outcome.log));
    QVERIFY(!outcome.log.contains(QLatin1String("Update successfully finished")));
    QCOMPARE(snapshot(site->installation.path()), versionOne);
}

void TestEndToEnd::killedRunIsResumedByTheNext()
{
    // A large file whose transfer stops at half, so that the kill lands there. Far larger than
    // every buffer on the way, yet quick: the path through the code is the same for any size.
    const int size = 64 * 1024 * 1024;
    const QByteArray big = pattern(size, 'B');
    publishVersionTwo({{QStringLiteral("data/big.dat"), big}});
    const QString remote = QStringLiteral("/2/client_linux_amd64/data/big.dat");
    site->mirror.setFault(remote, TestHttpMirror::Fault::stall(size / 2).times(1));

    QProcess first;
    first.setProcessEnvironment(site->installation.environment(
        site->tmp.path(), QStringLiteral("Ok"), site->versionServer.port()));
    first.setWorkingDirectory(site->installation.path());
    first.start(site->installation.executable(), {QStringLiteral("--nouser")});
    QString partial;
    // The mirror lives in this process: its event loop turns while waiting.
    const bool half = QTest::qWaitFor(
        [&] {
            partial = site->sessionFile(QStringLiteral("data/big.dat"));
            return (!partial.isEmpty() && QFileInfo(partial).size() == size / 2)
                || first.state() == QProcess::NotRunning;
        },
        60000);
    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished(10000);
    QVERIFY2(half && QFileInfo(partial).size() == size / 2,
             qPrintable(QString::fromLocal8Bit(first.readAllStandardError())));

    const int earlier = site->mirror.totalRequestCount();
    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QVERIFY2(outcome.log.contains(QStringLiteral("Resuming client_linux_amd64/data/big.dat at "
                                                 "%1 KB from local")
                                      .arg(size / 2 / 1000)),
             qPrintable(outcome.log));
    // The first request of the new run for the file asks for the rest only.
    const int request = site->mirror.requestLog().indexOf(remote.mid(1), earlier);
    QVERIFY(request >= earlier);
    QCOMPARE(site->mirror.requestHeaders("Range").at(request),
             "bytes=" + QByteArray::number(size / 2) + '-');
    QCOMPARE(site->mirror.bodyBytesSent(remote), qint64(size));

    QTemporaryDir expected;
    writeClient(expected.path(), 2);
    QMap<QString, QByteArray> release = snapshot(expected.path());
    release.insert(QStringLiteral("data/big.dat"), md5Of(big).toLatin1());
    QCOMPARE(snapshot(site->installation.path()), release);
}

void TestEndToEnd::manifestSizesDecideNothing_data()
{
    QTest::addColumn<QByteArray>("size");
    QTest::newRow("size 0") << QByteArray("0");
    QTest::newRow("size not a number") << QByteArray("abc");
}

void TestEndToEnd::manifestSizesDecideNothing()
{
    // Every size of the manifest, stored and unpacked, replaced: only the MD5 sums decide.
    QFETCH(QByteArray, size);
    publishVersionTwo();
    bool rewritten = false;
    rewriteManifest([&](const QByteArray &text) {
        const QString replaced = QString::fromUtf8(text).replace(
            QRegularExpression(QStringLiteral("([0-9a-f]{32})::[0-9]+")),
            QStringLiteral("\\1::") + QString::fromLatin1(size));
        rewritten = replaced.toUtf8() != text;
        return replaced.toUtf8();
    });
    // A manifest format the pattern no longer matches would test nothing.
    QVERIFY(rewritten);
    if (QTest::currentTestFailed())
        return;

    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QTemporaryDir expected;
    writeClient(expected.path(), 2);
    QCOMPARE(snapshot(site->installation.path()), snapshot(expected.path()));
}

void TestEndToEnd::everyNameRoundTrips_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<bool>("packed");

    // Each name holds something a URL or an INI file gives a meaning of its own.
    QTest::newRow("file names") << QString() << false;
    QTest::newRow("file names, gzip-compressed") << QString() << true;
    QTest::newRow("directory names") << QStringLiteral("a #?%20;=[ä/") << false;
}

void TestEndToEnd::everyNameRoundTrips()
{
    QFETCH(QString, directory);
    QFETCH(bool, packed);

    const QStringList names {"with space.txt", "hash#name",    "question?mark", "escaped%20space",
                             "percent%",       "100%25",       "key=value",     "semi;colon",
                             "[bracket]",      "Grüße ñ 日本", "plus+and&amp"};
    QMap<QString, QByteArray> files;
    QStringList args;
    for (const QString &name : names) {
        files.insert(directory + name, "content of " + name.toUtf8());
        if (packed)
            args << "--gzip" << directory + name;
    }
    publishVersionTwo(files, args);
    if (QTest::currentTestFailed())
        return;

    const Outcome outcome = runUpdater();
    QVERIFY2(outcome.ended, qPrintable(outcome.log));
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QTemporaryDir expected;
    writeClient(expected.path(), 2);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeTreeFile(expected.path(), it.key(), it.value()));
    QCOMPARE(snapshot(site->installation.path()), snapshot(expected.path()));
    // Every file was asked for once, by its own name.
    for (const QString &name : names) {
        const QString stored = directory + name + (packed ? QStringLiteral(".gz") : QString());
        QCOMPARE(site->mirror.requestCount(QStringLiteral("2/client_linux_amd64/") + stored), 1);
    }
}

void TestEndToEnd::releaseDirectories()
{
    // Version 1 had an empty cache directory and a plugin; version 2 has neither, but an empty
    // spool and log directory. The user put a file of their own beside the plugin.
    QTemporaryDir one;
    writeClient(one.path(), 1);
    QVERIFY(writeTreeFile(one.path(), QStringLiteral("plugins/old.so"), "plugin"));
    QVERIFY(QDir(one.path()).mkpath(QStringLiteral("cache/thumbnails")));
    QString complaint = publishRelease(one.path(), site->mirrorRoot.path(),
                                       QStringLiteral("client_linux_amd64"), 1, {});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    const QString installation = site->installation.path();
    QVERIFY(writeTreeFile(installation, QStringLiteral("plugins/old.so"), "plugin"));
    QVERIFY(writeTreeFile(installation, QStringLiteral("plugins/mine.so"), "the user's"));
    QVERIFY(QDir(installation).mkpath(QStringLiteral("cache/thumbnails")));
    QTemporaryDir two;
    writeClient(two.path(), 2);
    for (const char *empty : {"data/spool", "logs/today"})
        QVERIFY(QDir(two.path()).mkpath(QLatin1String(empty)));
    complaint = publishRelease(two.path(), site->mirrorRoot.path(),
                               QStringLiteral("client_linux_amd64"), 2, {"--previous", "1"});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));

    Outcome outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    for (const char *empty : {"data/spool", "logs/today"})
        QVERIFY2(QFileInfo(QDir(installation).filePath(QLatin1String(empty))).isDir(), empty);
    QVERIFY(!QFileInfo::exists(QDir(installation).filePath(QStringLiteral("cache"))));
    QVERIFY(!QFileInfo::exists(QDir(installation).filePath(QStringLiteral("plugins/old.so"))));
    QCOMPARE(readAll(QDir(installation).filePath(QStringLiteral("plugins/mine.so"))),
             QByteArray("the user's"));

    // An installation whose files are all up to date still gets a directory it lost.
    QVERIFY(QDir(installation).rmdir(QStringLiteral("logs/today")));
    outcome = runUpdater();
    QVERIFY2(outcome.log.contains(QLatin1String("Update successfully finished")),
             qPrintable(outcome.log));
    QVERIFY(QFileInfo(QDir(installation).filePath(QStringLiteral("logs/today"))).isDir());
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
