#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/checksignaturetaskspecification.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <memory>

namespace {

const int Version = 7;
const char Section[] = "data";

FileDownloadSpecification fileRecord(const QString &filePath, const QByteArray &body)
{
    FileDownloadSpecification record;
    record.section = QLatin1String(Section);
    record.filePath = filePath;
    record.md5 = md5Of(body);
    record.size = quint64(body.size());
    return record;
}

// Where a mirror serves the file of @p filePath.
QString served(const QString &filePath)
{
    return QStringLiteral("%1/%2/%3").arg(Version).arg(QLatin1String(Section), filePath);
}

struct Tick
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

Tick tick(TaskSpecification &task)
{
    Tick t;
    task.timeTick(t.done, t.total, t.speed, t.downloading);
    return t;
}

QList<DownloadFileTaskSpecification *> fileTasks(const QObject &list)
{
    return list.findChildren<DownloadFileTaskSpecification *>(QString(),
                                                              Qt::FindDirectChildrenOnly);
}

// Keeps the application's thread pool busy until released, so that a check handed to it waits.
class PoolBlocker
{
public:
    PoolBlocker()
    {
        QThreadPool *pool = QThreadPool::globalInstance();
        threads = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        pool->start([this] { gate.acquire(); });
    }
    ~PoolBlocker()
    {
        release();
        QThreadPool::globalInstance()->waitForDone();
        QThreadPool::globalInstance()->setMaxThreadCount(threads);
    }
    void release()
    {
        if (!released)
            gate.release();
        released = true;
    }

private:
    QSemaphore gate;
    int threads = 0;
    bool released = false;
};

} // namespace

Q_DECLARE_METATYPE(TestHttpMirror::Fault)

// The product file downloads against real HTTP servers on 127.0.0.1, with a real mirror pool
// read from a mirrors.ini and real MD5 checks on the thread pool. The engine's ticks are given
// by calling timeTick().
class TestDownloadFileList : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void downloadsAtMostStreamsAtOnce();
    void wrongMd5CostsTheDeliveringMirror_data();
    void wrongMd5CostsTheDeliveringMirror();
    void brokenTransferResumesOnTheNextMirror_data();
    void brokenTransferResumesOnTheNextMirror();
    void emptyListFinishesAtOnce();
    void refusedBeforeAnyDownload_data();
    void refusedBeforeAnyDownload();
    void userCancelKeepsPartialFilesForTheNextRun();
    void resetGivesSlotsBackAndAllowsAnotherRun();
    void noMirrorLeftEndsListWithoutWaiting();
    void wrongMd5AfterUserCancelEndsCanceled();
    void zeroSizeLeavesTheJudgementToMd5_data();
    void zeroSizeLeavesTheJudgementToMd5();

private:
    std::unique_ptr<DownloadFileListTaskSpecification> makeList(Mirrors &pool);
    QString local(const QString &filePath) const { return configuration.tempDir + '/' + filePath; }

    FreshPaths files;
    std::unique_ptr<QNetworkAccessManager> manager;
    Configuration configuration;
    QList<FileDownloadSpecification> downloads;
};

void TestDownloadFileList::init()
{
    QVERIFY(files.isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
    configuration.tempDir = QFileInfo(files.path(QStringLiteral("session"))).absoluteFilePath();
    QVERIFY(QDir().mkpath(configuration.tempDir));
    configuration.streams = 6;
    // Whole downloads, one mirror each; the segmented ones have a test of their own.
    configuration.segmentFrom = 0;
    downloads.clear();
}

std::unique_ptr<DownloadFileListTaskSpecification> TestDownloadFileList::makeList(Mirrors &pool)
{
    return std::make_unique<DownloadFileListTaskSpecification>(&downloads, manager.get(), &pool,
                                                               &configuration, nullptr, 0.4);
}

void TestDownloadFileList::downloadsAtMostStreamsAtOnce()
{
    TestHttpMirror server;
    const QStringList paths {"a.bin", "sub/b.bin", "sub/c.bin", "sub/deeper/d.bin", "empty.txt"};
    const QList<int> sizes {1000, 2000, 3000, 1500, 0};
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray body = pattern(sizes.at(i), char('a' + i));
        server.setContent(served(paths.at(i)), body);
        downloads << fileRecord(paths.at(i), body);
    }
    for (int i = 0; i < 3; ++i)
        server.setFault(served(paths.at(i)), TestHttpMirror::Fault::stall(100).times(1));
    // One mirror with three slots: the stream count is the tighter bound.
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);
    configuration.streams = 2;

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    int mostRunning = 0;
    connect(&server, &TestHttpMirror::requestReceived, this, [&] {
        int running = 0;
        for (const DownloadFileTaskSpecification *file : fileTasks(*list))
            running += file->state == TaskSpecification::Running ? 1 : 0;
        mostRunning = qMax(mostRunning, running);
    });
    list->execute();
    QCOMPARE(list->getTotalBytes(), quint64(7500));
    QVERIFY(QFileInfo(local("sub/deeper")).isDir());

    // The first two stall; nothing else has started.
    QTRY_COMPARE(QFileInfo(local("a.bin")).size(), qint64(100));
    QTRY_COMPARE(QFileInfo(local("sub/b.bin")).size(), qint64(100));
    QCOMPARE(server.totalRequestCount(), 2);
    QCOMPARE(server.openConnectionCount(), 2);
    // A file's task is made when it starts: memory does not grow with the list.
    QCOMPARE(fileTasks(*list).size(), 2);

    // The engine sees the whole list's size from the first tick on, and the running transfers.
    const Tick first = tick(*list);
    QCOMPARE(first.done, quint64(200));
    QCOMPARE(first.total, quint64(7500));
    QCOMPARE(first.speed, quint64(200));
    QVERIFY(first.downloading);
    QCOMPARE(tick(*list).speed, quint64(0));

    // Each file that ends lets the next one start.
    server.resumeStalled(served("a.bin"));
    QTRY_COMPARE(QFileInfo(local("sub/c.bin")).size(), qint64(100));
    QCOMPARE(server.openConnectionCount(), 2);
    QCOMPARE(server.requestCount(served("sub/deeper/d.bin")), 0);
    server.resumeStalled(served("sub/b.bin"));
    QTRY_COMPARE(server.requestCount(served("empty.txt")), 1);
    server.resumeStalled(served("sub/c.bin"));
    QTRY_COMPARE(finished.count(), 1);
    QTest::qWait(20);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(mostRunning, 2);

    QCOMPARE(list->state, TaskSpecification::Finished);
    QCOMPARE(list->progress, 0.4);
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(readAll(local(paths.at(i))), pattern(sizes.at(i), char('a' + i)));
    // A finished file leaves nothing behind but its share of the progress and its bytes.
    QTRY_VERIFY(fileTasks(*list).isEmpty());
    const QStringList log = signalTexts(messages);
    QCOMPARE(log.first(), QStringLiteral("Downloading files"));
    QVERIFY(log.contains(QStringLiteral("Downloading data/sub/deeper/d.bin finished")));
    QVERIFY(!log.join('\n').contains(QStringLiteral("failed")));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);

    // Finished transfers still count, so the figure reaches the total.
    const Tick last = tick(*list);
    QCOMPARE(last.done, quint64(7500));
    QCOMPARE(last.total, quint64(7500));
    QVERIFY(!last.downloading);
}

void TestDownloadFileList::wrongMd5CostsTheDeliveringMirror_data()
{
    QTest::addColumn<bool>("goodMirrorToo");
    QTest::newRow("bad and good mirror") << true;
    QTest::newRow("bad mirrors only") << false;
}

void TestDownloadFileList::wrongMd5CostsTheDeliveringMirror()
{
    QFETCH(bool, goodMirrorToo);
    TestHttpMirror bad;
    TestHttpMirror other;
    const QByteArray body = pattern(5000, 'p');
    bad.setContent(served("f.bin"), pattern(5000, 'q'));
    other.setContent(served("f.bin"), goodMirrorToo ? body : pattern(5000, 'r'));
    downloads << fileRecord("f.bin", body);
    Mirrors pool;
    // However many errors a mirror may have, a wrong file costs it its place at once.
    pool.initDefault(
        writeMirrorsIni(files, {{"Bad", bad.baseUrl(), "100"}, {"Other", other.baseUrl(), "100"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "Bad"));
    QSignalSpy poolMessages(&pool, &Mirrors::message);

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    // The file's task is made when it starts, in a later pass of the event loop.
    QVERIFY(fileTasks(*list).isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(fileTasks(*list).size(), 1);
    DownloadFileTaskSpecification *file = fileTasks(*list).first();
    QSignalSpy fileEnds(file, &TaskSpecification::canceled);
    QSignalSpy fileFinished(file, &TaskSpecification::finished);
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QTest::qWait(20);
    QCOMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(fileEnds.count() + fileFinished.count(), 1);

    QCOMPARE(bad.requestCount(served("f.bin")), 1);
    QCOMPARE(other.requestCount(served("f.bin")), 1);
    QCOMPARE(pool.getMirrorIndex("Bad"), -1);
    const QString failed = QStringLiteral("Signature check failed for %1").arg(local("f.bin"));
    const QString retrying
        = QStringLiteral("md5 sum for f.bin failed, invalidating mirror and retrying");
    const QStringList log = signalTexts(messages);
    if (goodMirrorToo) {
        QCOMPARE(finished.count(), 1);
        QCOMPARE(fileFinished.count(), 1);
        QCOMPARE(readAll(local("f.bin")), body);
        QCOMPARE(pool.getMirrorIndex("Other"), 0);
        QCOMPARE(pool.mirrorList().at(0).errorCount, 0);
        QCOMPARE(pool.mirrorList().at(0).useCount, 0);
        QCOMPARE(log,
                 QStringList({"Downloading files", "Downloading data/f.bin",
                              "Downloading data/f.bin finished", failed, retrying,
                              "Downloading data/f.bin", "Downloading data/f.bin finished"}));
    } else {
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(list->state, TaskSpecification::ErrorCanceled);
        QCOMPARE(file->state, TaskSpecification::ErrorCanceled);
        QVERIFY(pool.mirrorList().isEmpty());
        QCOMPARE(log.count(retrying), 2);
        QCOMPARE(poolMessagesBesideProtocol(poolMessages),
                 QStringList("There are no (more) known working mirrors available"));
    }
}

void TestDownloadFileList::brokenTransferResumesOnTheNextMirror_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<TestHttpMirror::Fault>("faultA");
    QTest::addColumn<TestHttpMirror::Fault>("faultB");
    // B serves the file of another release, of the same size.
    QTest::addColumn<bool>("otherTreeOnB");
    // Bytes of the file left on disk by an earlier run.
    QTest::addColumn<int>("onDisk");
    // The mirror each request goes to, in order.
    QTest::addColumn<QStringList>("route");
    // The Range header of each request, in order ("" for none).
    QTest::addColumn<QStringList>("ranges");
    QTest::addColumn<qint64>("maxTransferred");
    QTest::addColumn<int>("chargesA");
    QTest::addColumn<int>("chargesB");

    using Fault = TestHttpMirror::Fault;
    using Range = TestHttpMirror::RangeAnswer;
    const int mib = 1024 * 1024;
    QStringList everyEight {""};
    for (int i = 1; i < 7; ++i)
        everyEight << QStringLiteral("bytes=%1-").arg(i * 8 * mib);
    QTest::newRow("cut after every 8 MiB on both")
        << 50 * mib << Fault::truncate(8 * mib) << Fault::truncate(8 * mib) << false << 0
        << QStringList {"A", "B", "A", "B", "A", "B", "A"} << everyEight << qint64(55 * mib) << 3
        << 3;

    const int size = 1000000;
    const int cut = 300000;
    const QStringList resumedOnB {"", QStringLiteral("bytes=%1-").arg(cut)};
    QTest::newRow("B ignores the range")
        << size << Fault::truncate(cut).times(1) << Fault::rangeAnswer(Range::Ignore) << false << 0
        << QStringList {"A", "B"} << resumedOnB << qint64(cut + size) << 1 << 0;
    QTest::newRow("B answers another range")
        << size << Fault::truncate(cut).times(1) << Fault::rangeAnswer(Range::WrongStart) << false
        << 0 << QStringList {"A", "B", "A"} << resumedOnB + QStringList {""}
        << qint64(cut + 2 * size) << 1 << 0;
    QTest::newRow("B answers 416")
        << size << Fault::truncate(cut).times(1) << Fault::rangeAnswer(Range::Unsatisfiable)
        << false << 0 << QStringList {"A", "B", "A"} << resumedOnB + QStringList {""}
        << qint64(cut + size + 100) << 1 << 0;
    // The mix fails its digest; neither mirror can be blamed for it.
    QTest::newRow("pieces of two trees")
        << size << Fault::truncate(cut).times(1) << Fault() << true << 0
        << QStringList {"A", "B", "A"} << resumedOnB + QStringList {""} << qint64(cut + 2 * size)
        << 1 << 0;
    QTest::newRow("partial file of an earlier run")
        << size << Fault() << Fault() << false << cut << QStringList {"B"}
        << QStringList {QStringLiteral("bytes=%1-").arg(cut)} << qint64(size - cut) << 0 << 0;
}

void TestDownloadFileList::brokenTransferResumesOnTheNextMirror()
{
    QFETCH(int, size);
    QFETCH(TestHttpMirror::Fault, faultA);
    QFETCH(TestHttpMirror::Fault, faultB);
    QFETCH(bool, otherTreeOnB);
    QFETCH(int, onDisk);
    QFETCH(QStringList, route);
    QFETCH(QStringList, ranges);
    QFETCH(qint64, maxTransferred);
    QFETCH(int, chargesA);
    QFETCH(int, chargesB);

    TestHttpMirror a;
    TestHttpMirror b;
    const QByteArray body = pattern(size, 'p');
    a.setContent(served("f.bin"), body);
    b.setContent(served("f.bin"), otherTreeOnB ? pattern(size, 'q') : body);
    a.setFault(served("f.bin"), faultA);
    b.setFault(served("f.bin"), faultB);
    downloads << fileRecord("f.bin", body);
    if (onDisk > 0)
        QVERIFY(writeFile(local("f.bin"), body.left(onDisk)));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"A", a.baseUrl(), "10"}, {"B", b.baseUrl(), "10"}}),
                     Version);

    // Every attempt sends a line after giving its mirror back and before taking the next, so
    // the route is set there, when the pool's slots are as the choice will find them.
    QStringList seen;
    QStringList rangesSeen;
    auto record = [&](TestHttpMirror &mirror, const QString &name) {
        seen << name;
        rangesSeen << QString::fromLatin1(mirror.requestHeaders("Range").last());
    };
    connect(&a, &TestHttpMirror::requestReceived, this, [&] { record(a, "A"); });
    connect(&b, &TestHttpMirror::requestReceived, this, [&] { record(b, "B"); });
    QVERIFY(makeNextChoice(pool, route.first()));
    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    connect(list.get(), &TaskSpecification::message, this, [&] {
        if (seen.size() < route.size())
            makeNextChoice(pool, route.at(seen.size()));
    });
    list->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);

    QCOMPARE(seen, route);
    // The reply may lose what it had not yet handed over when the connection broke, at most its
    // read buffer per break; the rest is asked for again.
    QCOMPARE(rangesSeen.size(), ranges.size());
    for (int i = 0; i < ranges.size(); ++i) {
        QCOMPARE(rangesSeen.at(i).isEmpty(), ranges.at(i).isEmpty());
        if (ranges.at(i).isEmpty())
            continue;
        const qint64 asked = rangesSeen.at(i).mid(6).chopped(1).toLongLong();
        const qint64 cutAt = ranges.at(i).mid(6).chopped(1).toLongLong();
        QVERIFY2(asked > 0 && asked <= cutAt
                     && cutAt - asked <= i * DownloadTaskSpecification::ReadBufferSize,
                 qPrintable(rangesSeen.join(' ')));
    }
    QCOMPARE(md5OfFile(local("f.bin")), md5Of(body));
    const qint64 transferred = a.totalBodyBytesSent() + b.totalBodyBytesSent();
    QVERIFY2(transferred <= maxTransferred, qPrintable(QString::number(transferred)));
    QCOMPARE(mirrorRecord(pool, "A").errorCount, chargesA);
    QCOMPARE(mirrorRecord(pool, "B").errorCount, chargesB);
    QCOMPARE(pool.mirrorList().size(), 2);
    const QStringList log = signalTexts(messages);
    QVERIFY(!log.join('\n').contains("invalidating mirror"));
    QCOMPARE(log.contains("md5 sum for f.bin failed on a resumed download, fetching it whole"),
             otherTreeOnB);
    if (ranges.size() > 1 || onDisk > 0) {
        const int resumedAt = rangesSeen.at(onDisk > 0 ? 0 : 1).mid(6).chopped(1).toInt();
        QVERIFY2(log.contains(QStringLiteral("Resuming data/f.bin at %1 KB from %2")
                                  .arg(resumedAt / 1000)
                                  .arg(onDisk > 0 ? route.first() : route.at(1))),
                 qPrintable(log.join('\n')));
    }
}

void TestDownloadFileList::emptyListFinishesAtOnce()
{
    Mirrors pool;
    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    QSignalSpy progress(list.get(), &TaskSpecification::updateProgress);
    list->execute();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(list->state, TaskSpecification::Finished);
    QCOMPARE(signalTexts(messages), QStringList("No downloads needed"));
    QCOMPARE(progress.last().at(0).toDouble(), 0.4);
    const Tick t = tick(*list);
    QCOMPARE(t.total, quint64(0));
    QCOMPARE(t.done, quint64(0));
    QTest::qWait(20);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
}

void TestDownloadFileList::refusedBeforeAnyDownload_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("expected");

    // A plain file stands where a directory must go.
    QTest::newRow("directory blocked")
        << QStringList({"made/ok.bin", "blocked/b.bin"}) << "could not make dir %1/blocked";
    QTest::newRow("absolute") << QStringList({"made/ok.bin", "/abs/x.bin"})
                              << "invalid file path /abs/x.bin";
    QTest::newRow("climbs out") << QStringList({"made/ok.bin", "made/../../x.bin"})
                                << "invalid file path made/../../x.bin";
    QTest::newRow("parent") << QStringList({"made/ok.bin", "../x.bin"})
                            << "invalid file path ../x.bin";
    QTest::newRow("names no file")
        << QStringList({"made/ok.bin", "made/"}) << "invalid file path made/";
}

void TestDownloadFileList::refusedBeforeAnyDownload()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, expected);
    TestHttpMirror server;
    for (const QString &path : paths) {
        server.setContent(served(path), "x");
        downloads << fileRecord(path, "x");
    }
    writeTreeFile(configuration.tempDir, QStringLiteral("blocked"), "in the way");
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(list->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(signalTexts(messages),
             QStringList(expected.contains("%1")
                             ? expected.arg(QDir(configuration.tempDir).canonicalPath())
                             : expected));
    QVERIFY(fileTasks(*list).isEmpty());
    QTest::qWait(20);
    QCOMPARE(server.totalRequestCount(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QVERIFY(!QFileInfo::exists(QFileInfo(configuration.tempDir).path() + "/x.bin"));
    if (expected.startsWith("invalid"))
        QVERIFY(!QFileInfo::exists(local("made")));

    // The file task keeps to the temporary directory on its own too.
    DownloadFileTaskSpecification file(fileRecord("../x.bin", "x"), manager.get(), &pool,
                                       &configuration, nullptr, 1.0);
    QSignalSpy fileCanceled(&file, &TaskSpecification::canceled);
    file.execute();
    QCOMPARE(fileCanceled.count(), 1);
    QCOMPARE(file.state, TaskSpecification::ErrorCanceled);
}

void TestDownloadFileList::userCancelKeepsPartialFilesForTheNextRun()
{
    TestHttpMirror server;
    const QStringList paths {"a.bin", "sub/b.bin", "c.bin"};
    for (const QString &path : paths) {
        server.setContent(served(path), pattern(4000, 's'));
        server.setFault(served(path), TestHttpMirror::Fault::stall(100));
        downloads << fileRecord(path, pattern(4000, 's'));
    }
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);
    configuration.streams = 2;

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    list->execute();
    QTRY_COMPARE(QFileInfo(local("a.bin")).size(), qint64(100));
    QTRY_COMPARE(QFileInfo(local("sub/b.bin")).size(), qint64(100));

    list->userCanceled();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(list->state, TaskSpecification::UserCanceled);
    // The next run of the session resumes them.
    QCOMPARE(readAll(local("a.bin")), pattern(100, 's'));
    QCOMPARE(readAll(local("sub/b.bin")), pattern(100, 's'));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QTRY_COMPARE(server.openConnectionCount(), 0);
    QCOMPARE(server.requestCount(served("c.bin")), 0);
    QVERIFY(!QFileInfo::exists(local("c.bin")));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
}

void TestDownloadFileList::resetGivesSlotsBackAndAllowsAnotherRun()
{
    TestHttpMirror server;
    for (const QString &path : {QStringLiteral("a.bin"), QStringLiteral("b.bin")}) {
        server.setContent(served(path), pattern(3000, 't'));
        server.setFault(served(path), TestHttpMirror::Fault::stall(100).times(1));
        downloads << fileRecord(path, pattern(3000, 't'));
    }
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    list->execute();
    QTRY_COMPARE(QFileInfo(local("a.bin")).size(), qint64(100));
    QTRY_COMPARE(QFileInfo(local("b.bin")).size(), qint64(100));
    QCOMPARE(pool.mirrorList().at(0).useCount, 2);

    list->reset();
    QCOMPARE(list->state, TaskSpecification::Idle);
    QCOMPARE(list->getTotalBytes(), quint64(0));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QVERIFY(!QFileInfo::exists(local("a.bin")));
    QTRY_COMPARE(server.openConnectionCount(), 0);
    QTRY_VERIFY(fileTasks(*list).isEmpty());

    list->execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(list->getTotalBytes(), quint64(6000));
    QCOMPARE(readAll(local("b.bin")), pattern(3000, 't'));
}

void TestDownloadFileList::noMirrorLeftEndsListWithoutWaiting()
{
    // One mirror with one slot: while the first file holds it, the others wait for it.
    TestHttpMirror server;
    server.setContent(served("bad.bin"), pattern(2000, 'u'));
    downloads << fileRecord("bad.bin", pattern(2000, 'v'));
    for (const QString &path : {QStringLiteral("slow1.bin"), QStringLiteral("slow2.bin")}) {
        server.setContent(served(path), pattern(4000, 'w'));
        server.setFault(served(path), TestHttpMirror::Fault::stall(100));
        downloads << fileRecord(path, pattern(4000, 'w'));
    }
    const QString updateIni
        = files.write("update.ini", "[Channel]\nalpha=" + server.baseUrl().toUtf8() + "\n");
    Mirrors pool;
    QVERIFY(pool.initAlpha(updateIni, Version));
    QSignalSpy poolMessages(&pool, &Mirrors::message);

    // The check of the bad file waits until one slow file holds the slot with a stalled
    // transfer and the other waits for it.
    PoolBlocker blocker;
    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    list->execute();
    QTRY_COMPARE(server.bodyBytesSent(served("slow1.bin"))
                     + server.bodyBytesSent(served("slow2.bin")),
                 qint64(100));
    QCOMPARE(pool.mirrorList().at(0).useCount, 1);
    blocker.release();

    // No tick is given: a stalled transfer or a download waiting for a slot that no transfer
    // will free must not hold the failed list up.
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(list->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(poolMessagesBesideProtocol(poolMessages),
             QStringList("There are no (more) known working mirrors available"));
    QCOMPARE(server.requestCount(served("slow1.bin")) + server.requestCount(served("slow2.bin")),
             1);
    const QList<DownloadFileTaskSpecification *> files = fileTasks(*list);
    QCOMPARE(files.at(0)->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(files.at(1)->state, TaskSpecification::UserCanceled);
    QCOMPARE(files.at(2)->state, TaskSpecification::UserCanceled);
    // The transfer that had begun keeps its bytes for the next run; the waiting one made no file.
    const QString begun = local(QFileInfo::exists(local("slow1.bin")) ? "slow1.bin" : "slow2.bin");
    const QString waiting = local(begun.endsWith("slow1.bin") ? "slow2.bin" : "slow1.bin");
    QCOMPARE(readAll(begun), pattern(100, 'w'));
    QVERIFY(!QFileInfo::exists(waiting));
    QTRY_COMPARE(server.openConnectionCount(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
}

void TestDownloadFileList::wrongMd5AfterUserCancelEndsCanceled()
{
    TestHttpMirror bad;
    TestHttpMirror good;
    const QByteArray body = pattern(3000, 'x');
    bad.setContent(served("f.bin"), pattern(3000, 'y'));
    good.setContent(served("f.bin"), body);
    downloads << fileRecord("f.bin", body);
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"Bad", bad.baseUrl(), "5"}, {"Good", good.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "Bad"));

    PoolBlocker blocker;
    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    // The file has arrived and its check waits for a pool thread.
    QTRY_VERIFY(!list->findChildren<CheckSignatureTaskSpecification *>().isEmpty()
                && list->findChildren<CheckSignatureTaskSpecification *>().first()->state
                    == TaskSpecification::Running);
    list->userCanceled();
    QCOMPARE(list->state, TaskSpecification::Running);
    blocker.release();

    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(list->state, TaskSpecification::UserCanceled);
    QCOMPARE(fileTasks(*list).first()->state, TaskSpecification::UserCanceled);
    QCOMPARE(pool.getMirrorIndex("Bad"), -1);
    QVERIFY(!QFileInfo::exists(local("f.bin")));
    QTest::qWait(20);
    QCOMPARE(good.totalRequestCount(), 0);
    QVERIFY(!signalTexts(messages).join('\n').contains("retrying"));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
}

void TestDownloadFileList::zeroSizeLeavesTheJudgementToMd5_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<bool>("installs");

    // A size that is not a number reads as 0 as well.
    QTest::newRow("empty file") << QByteArray() << QByteArray() << true;
    QTest::newRow("file of any size") << pattern(20000, 'y') << pattern(20000, 'y') << true;
    QTest::newRow("wrong body") << QByteArray() << pattern(64 * 1024, 'z') << false;
}

void TestDownloadFileList::zeroSizeLeavesTheJudgementToMd5()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, served);
    QFETCH(bool, installs);

    TestHttpMirror server;
    server.setContent(::served("f.txt"), served);
    FileDownloadSpecification record = fileRecord("f.txt", body);
    record.size = 0;
    downloads << record;
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "3"}}), Version);

    auto list = makeList(pool);
    QSignalSpy finished(list.get(), &TaskSpecification::finished);
    QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    const QString log = signalTexts(messages).join('\n');
    QVERIFY2(!log.contains("sent more than"), qPrintable(log));
    if (installs) {
        QCOMPARE(finished.count(), 1);
        QCOMPARE(readAll(local("f.txt")), body);
        QCOMPARE(mirrorRecord(pool, "M").errorCount, 0);
    } else {
        // The check, not a size, rejects the body, and that costs the mirror.
        QCOMPARE(list->state, TaskSpecification::ErrorCanceled);
        QVERIFY(log.contains("md5 sum for f.txt failed"));
        QCOMPARE(pool.getMirrorIndex("M"), -1);
        QCOMPARE(server.requestCount(::served("f.txt")), 1);
    }
}

QTEST_GUILESS_MAIN(TestDownloadFileList)
#include "tst_downloadfilelisttaskspecification.moc"
