#include "manifest/filestatecache.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The cache of installed files' states: what it may trust, what it must not, and the real
// updater relying on it (or not) for a file changed in every way a cache could miss.
class TestFileStateCache : public QObject
{
    Q_OBJECT

private slots:
    void unreadableCacheIsIgnored_data();
    void unreadableCacheIsIgnored();
    void racyEntryIsNotTrusted();
    void unchangedCacheIsNotRewritten();

    void updaterSeesEveryChange_data();
    void updaterSeesEveryChange();
    void upToDateRunReadsAndWritesNothing();

private:
    enum Change {
        RewrittenTimesRestored,
        CopyWithPreservedTimes,
        ForgedEntry,
        ForgedEntryVerify,
        ForgedEntryCut,
        ForgedEntryRandomBytes,
        ForgedEntryForeign,
        ForgedEntryRacy,
    };
};

namespace {

const QString Levels = QStringLiteral("data/levels.dat");
constexpr qint64 Second = 1000000000;

qint64 nanoseconds(const struct timespec &time)
{
    return qint64(time.tv_sec) * Second + time.tv_nsec;
}

struct stat statOf(const QString &path)
{
    struct stat info = {};
    lstat(QFile::encodeName(path).constData(), &info);
    return info;
}

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

// The updater takes its directory from its resolved executable path.
QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// Records that path holds bytes with the MD5 of content, in the state the file is in now,
// stamped stampOffset after its status change.
bool forgeEntry(const QString &root, const QString &path, const QByteArray &content,
                qint64 stampOffset)
{
    FileStateCache cache(canonical(root));
    QString problem;
    cache.load(&problem);
    const struct stat now = statOf(root + QLatin1Char('/') + path);
    cache.learn(path, now, md5(content), nanoseconds(now.st_ctim) + stampOffset);
    return cache.save(&problem);
}

bool truncateHalf(const QString &path)
{
    return ::truncate(QFile::encodeName(path).constData(), QFileInfo(path).size() / 2) == 0;
}

} // namespace

void TestFileStateCache::unreadableCacheIsIgnored_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "remove"
                             << "No file state cache yet";
    QTest::newRow("cut in the middle") << "cut"
                                       << "damaged";
    QTest::newRow("random bytes") << "random"
                                  << "damaged";
    QTest::newRow("one byte changed") << "flip"
                                      << "damaged";
    QTest::newRow("empty") << "empty"
                           << "damaged";
    QTest::newRow("copied from another installation") << "foreign"
                                                      << "written for another installation";
    QTest::newRow("larger than any cache") << "huge"
                                           << "larger than";
}

void TestFileStateCache::unreadableCacheIsIgnored()
{
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    QTemporaryDir installation;
    QTemporaryDir other;
    const QString root = canonical(installation.path());
    const QString cachePath = root + QLatin1Char('/') + FileStateCache::fileName();
    writeFile(root + "/a.dat", "old content");
    writeFile(root + "/b.dat", "other content");
    {
        FileStateCache cache(root);
        QString problem;
        cache.load(&problem);
        for (const QString &name : {QStringLiteral("a.dat"), QStringLiteral("b.dat")})
            cache.learn(name, statOf(root + '/' + name), md5(readAll(root + '/' + name)),
                        nanoseconds(statOf(root + '/' + name).st_ctim) + Second);
        QVERIFY2(cache.save(&problem), qPrintable(problem));
    }
    {
        // Intact, it vouches for both files.
        FileStateCache cache(root);
        QString problem;
        QVERIFY2(cache.load(&problem), qPrintable(problem));
        QCOMPARE(cache.trustedMd5("a.dat", statOf(root + "/a.dat")), md5("old content"));
    }

    QByteArray data = readAll(cachePath);
    QString loadedIn = root;
    if (damage == "remove") {
        QVERIFY(FileStateCache::discard(root));
    } else if (damage == "cut") {
        QVERIFY(truncateHalf(cachePath));
    } else if (damage == "random") {
        for (char &c : data)
            c = char(QRandomGenerator::global()->bounded(256));
        QVERIFY(writeFile(cachePath, data));
    } else if (damage == "flip") {
        data[data.indexOf("a.dat") - 3] ^= 1;
        QVERIFY(writeFile(cachePath, data));
    } else if (damage == "empty") {
        QVERIFY(writeFile(cachePath, QByteArray()));
    } else if (damage == "huge") {
        // Sparse: no disk is filled, but a reader that takes it whole holds all of it.
        QVERIFY(
            ::truncate(QFile::encodeName(cachePath).constData(), FileStateCache::MaxFileBytes + 1)
            == 0);
    } else if (damage == "foreign") {
        loadedIn = canonical(other.path());
        QVERIFY(QFile::copy(cachePath, loadedIn + QLatin1Char('/') + FileStateCache::fileName()));
        QVERIFY(QFile::copy(root + "/a.dat", loadedIn + "/a.dat"));
    }

    FileStateCache cache(loadedIn);
    QString problem;
    QVERIFY(!cache.load(&problem));
    QVERIFY2(problem.contains(reason), qPrintable(problem));
    QVERIFY(cache.trustedMd5("a.dat", statOf(loadedIn + "/a.dat")).isEmpty());
    QVERIFY(cache.trustedMd5("b.dat", statOf(root + "/b.dat")).isEmpty());
    if (damage == "huge") {
        // Replaced even by a run that learns nothing, so the next one reads a few bytes.
        QVERIFY2(cache.save(&problem), qPrintable(problem));
        QVERIFY(QFileInfo(cachePath).size() < 1024);
    }
}

void TestFileStateCache::racyEntryIsNotTrusted()
{
    // A file changed in the very tick its entry was made in may show the recorded times with
    // other bytes; only an entry made after that tick is trusted.
    QTemporaryDir installation;
    const QString root = canonical(installation.path());
    writeFile(root + "/a.dat", "content");
    const struct stat now = statOf(root + "/a.dat");
    FileStateCache cache(root);
    QString problem;
    cache.load(&problem);
    cache.learn("a.dat", now, md5("content"),
                qMax(nanoseconds(now.st_mtim), nanoseconds(now.st_ctim)));
    QVERIFY(cache.trustedMd5("a.dat", now).isEmpty());
    cache.learn("a.dat", now, md5("content"), nanoseconds(now.st_ctim) + 1);
    QCOMPARE(cache.trustedMd5("a.dat", now), md5("content"));
    // The file system's own clock: a file made now is not older than it.
    writeFile(root + "/b.dat", "fresh");
    QVERIFY(FileStateCache::fileSystemNow(root) >= nanoseconds(statOf(root + "/b.dat").st_ctim));
}

void TestFileStateCache::unchangedCacheIsNotRewritten()
{
    QTemporaryDir installation;
    const QString root = canonical(installation.path());
    writeFile(root + "/a.dat", "content");
    const QString cachePath = root + QLatin1Char('/') + FileStateCache::fileName();
    QString problem;
    QVERIFY(forgeEntry(root, "a.dat", "content", Second));
    const struct stat saved = statOf(cachePath);
    FileStateCache cache(root);
    QVERIFY(cache.load(&problem));
    QCOMPARE(cache.trustedMd5("a.dat", statOf(root + "/a.dat")), md5("content"));
    QVERIFY(cache.save(&problem));
    const struct stat after = statOf(cachePath);
    QCOMPARE(after.st_ino, saved.st_ino);
    QCOMPARE(nanoseconds(after.st_mtim), nanoseconds(saved.st_mtim));
}

void TestFileStateCache::updaterSeesEveryChange_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<bool>("repaired");
    QTest::addColumn<QString>("logged");
    QTest::newRow("rewritten, mtime restored") << int(RewrittenTimesRestored) << true << "";
    QTest::newRow("copy with preserved times") << int(CopyWithPreservedTimes) << true << "";
    // The one change no time records, faked in the cache: trusted, until --verify.
    QTest::newRow("forged entry") << int(ForgedEntry) << false << "";
    QTest::newRow("forged entry, --verify")
        << int(ForgedEntryVerify) << true << "Checking every installed file";
    QTest::newRow("forged entry, cache cut") << int(ForgedEntryCut) << true << "damaged";
    QTest::newRow("forged entry, cache random bytes")
        << int(ForgedEntryRandomBytes) << true << "damaged";
    QTest::newRow("forged entry, cache of another installation")
        << int(ForgedEntryForeign) << true << "written for another installation";
    QTest::newRow("forged entry as fresh as the file") << int(ForgedEntryRacy) << true << "";
}

void TestFileStateCache::updaterSeesEveryChange()
{
    QFETCH(int, change);
    QFETCH(bool, repaired);
    QFETCH(QString, logged);

    UpdateSite site;
    QVERIFY(site.installation.isValid());
    const QString complaint = site.publishClient(2);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    const QString root = site.installation.path();
    UpdateSite::writeClient(root, 2);
    const QProcessEnvironment env
        = site.installation.environment(site.tmp.path(), QString(), site.versionServer.port());
    const QStringList args {"--headless", "client_linux_amd64", "2"};
    {
        // Up to date: reads every file once and leaves the cache.
        RunningUpdater first(site.installation, args, env);
        QVERIFY(first.waitForEnd());
        QVERIFY2(first.exitCode() == 0, qPrintable(first.log()));
        QVERIFY(first.log().contains("No file state cache yet"));
    }

    const QString levels = site.installation.filePath(Levels);
    const QByteArray damaged = pattern(UpdateSite::levelsContent().size(), 'X');
    const struct stat original = statOf(levels);
    if (change == RewrittenTimesRestored) {
        QVERIFY(writeFile(levels, damaged));
        const struct timespec times[2] = {original.st_atim, original.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(levels).constData(), times, 0) == 0);
        QCOMPARE(nanoseconds(statOf(levels).st_mtim), nanoseconds(original.st_mtim));
    } else if (change == CopyWithPreservedTimes) {
        const QString copy = levels + ".copy";
        QVERIFY(writeFile(copy, damaged));
        const struct timespec times[2] = {original.st_atim, original.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(copy).constData(), times, 0) == 0);
        QVERIFY(::rename(QFile::encodeName(copy).constData(), QFile::encodeName(levels).constData())
                == 0);
    } else {
        QVERIFY(writeFile(levels, damaged));
        const qint64 offset = change == ForgedEntryRacy ? 0 : Second;
        QVERIFY(forgeEntry(root, Levels, UpdateSite::levelsContent(), offset));
    }
    const QString cachePath = site.installation.filePath(FileStateCache::fileName());
    if (change == ForgedEntryCut)
        QVERIFY(truncateHalf(cachePath));
    if (change == ForgedEntryRandomBytes) {
        QByteArray noise = readAll(cachePath);
        for (char &c : noise)
            c = char(QRandomGenerator::global()->bounded(256));
        QVERIFY(writeFile(cachePath, noise));
    }
    if (change == ForgedEntryForeign) {
        // The forged cache was made for another installation and copied here.
        QTemporaryDir other;
        QVERIFY(QFile::rename(cachePath, other.filePath("stolen")));
        FileStateCache foreign(canonical(other.path()));
        QString problem;
        foreign.load(&problem);
        const struct stat now = statOf(levels);
        foreign.learn(Levels, now, md5(UpdateSite::levelsContent()),
                      nanoseconds(now.st_ctim) + Second);
        QVERIFY(foreign.save(&problem));
        QVERIFY(QFile::copy(other.filePath(FileStateCache::fileName()), cachePath));
    }

    QStringList secondArgs = args;
    if (change == ForgedEntryVerify)
        secondArgs.insert(1, QStringLiteral("--verify"));
    RunningUpdater second(site.installation, secondArgs, env);
    QVERIFY(second.waitForEnd());
    const QString log = second.log();
    QVERIFY2(second.exitCode() == 0, qPrintable(log));
    QVERIFY2(log.contains(logged), qPrintable(log));
    QCOMPARE(readAll(levels), repaired ? UpdateSite::levelsContent() : damaged);
    QCOMPARE(log.contains("add/replace data/levels.dat"), repaired);
    if (repaired)
        QCOMPARE(site.clientFiles(), UpdateSite::expectedClient(2));
}

void TestFileStateCache::upToDateRunReadsAndWritesNothing()
{
    UpdateSite site;
    QVERIFY(site.installation.isValid());
    QVERIFY(site.publishClient(2).isEmpty());
    const QString root = site.installation.path();
    UpdateSite::writeClient(root, 1);
    const QProcessEnvironment env
        = site.installation.environment(site.tmp.path(), QString(), site.versionServer.port());
    const QStringList args {"--headless", "client_linux_amd64", "2"};
    // The update, then a first run after it: the files installed in the update's last clock
    // tick may be read once more.
    for (int run = 0; run < 2; ++run) {
        RunningUpdater child(site.installation, args, env);
        QVERIFY(child.waitForEnd());
        QVERIFY2(child.exitCode() == 0, qPrintable(child.log()));
        // What the update installed is entered at once.
        if (run == 0)
            QVERIFY(readAll(site.installation.filePath(FileStateCache::fileName()))
                        .contains(md5Of(UpdateSite::levelsContent()).toLatin1()
                                  + " data/levels.dat\n"));
    }
    const QString settings = site.installation.filePath("update.ini");
    const QString cache = site.installation.filePath(FileStateCache::fileName());
    const struct stat settingsBefore = statOf(settings);
    const struct stat cacheBefore = statOf(cache);
    QVERIFY(settingsBefore.st_ino != 0 && cacheBefore.st_ino != 0);

    const QString trace = site.tmp.filePath("trace");
    QProcessEnvironment traced = env;
    // The leak checker cannot work under strace.
    traced.insert("ASAN_OPTIONS", traced.value("ASAN_OPTIONS") + ":detect_leaks=0");
    RunningUpdater child(site.installation, args, traced,
                         {"strace", "-f", "-qq", "-o", trace, "-e", "trace=open,openat"});
    QVERIFY(child.waitForEnd());
    QVERIFY2(child.exitCode() == 0, qPrintable(child.log()));
    QVERIFY(child.log().contains("Update successfully finished"));
    const QByteArray opened = readAll(trace);
    QVERIFY(opened.contains("client_linux_amd64.ini"));
    // No installed file was read; neither settings file was written.
    QVERIFY2(!opened.contains("levels.dat") && !opened.contains("version.txt"), opened.constData());
    for (const auto &[path, before] : {std::pair(settings, settingsBefore), {cache, cacheBefore}}) {
        const struct stat after = statOf(path);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(nanoseconds(after.st_mtim), nanoseconds(before.st_mtim));
    }
}

QTEST_GUILESS_MAIN(TestFileStateCache)
#include "tst_filestatecache.moc"
