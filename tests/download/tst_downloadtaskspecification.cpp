#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include <memory>

namespace {

const int Version = 7;

} // namespace

Q_DECLARE_METATYPE(TestHttpMirror::Fault)

// The download task against real HTTP servers on 127.0.0.1 that fail on purpose, with a real
// mirror pool read from a mirrors.ini. The engine's ticks are given by calling timeTick().
class TestDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void brokenMirrorIsRemovedAtOnce_data();
    void brokenMirrorIsRemovedAtOnce();
    void stallIsAbandonedAfterTickLimit();
    void unknownSizeReportsNoTotal();
    void oneSlotSerialisesDownloads();
    void userCancelFreesSlotAndKeepsOnlyResumableBytes_data();
    void userCancelFreesSlotAndKeepsOnlyResumableBytes();
    void resumedBytesCountAsDoneNotAsSpeed_data();
    void resumedBytesCountAsDoneNotAsSpeed();
    void keptFileNotOursStartsFromZero_data();
    void keptFileNotOursStartsFromZero();
    void cancelledHolderWakesWaitingDownload();
    void missingDirectoryFailsAtOnce();
    void lastMirrorDroppedEndsDownloads();
    void oversizeBodyFailsAndRetries_data();
    void oversizeBodyFailsAndRetries();
    void truncatedBodyIsRetried_data();
    void truncatedBodyIsRetried();
    void slowTransferIsAbandonedAfterWindow();
    void unusableMirrorUrlIsCharged();
    void compressedFormComesFirst_data();
    void compressedFormComesFirst();

private:
    std::unique_ptr<DownloadTaskSpecification> makeTask(const QString &remotePath,
                                                        qint64 expectedSize, Mirrors &pool);

    FreshPaths files;
    // Local file of the task makeTask() made last.
    QString lastTarget;
    std::unique_ptr<QNetworkAccessManager> manager;
};

void TestDownloadTaskSpecification::init()
{
    QVERIFY(files.isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
}

std::unique_ptr<DownloadTaskSpecification>
TestDownloadTaskSpecification::makeTask(const QString &remotePath, qint64 expectedSize,
                                        Mirrors &pool)
{
    lastTarget = files.path(remotePath);
    return std::make_unique<DownloadTaskSpecification>(manager.get(), &pool, remotePath, lastTarget,
                                                       expectedSize, nullptr, 1.0);
}

void TestDownloadTaskSpecification::brokenMirrorIsRemovedAtOnce_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("managerFollowsRedirects");

    QTest::newRow("302") << TestHttpMirror::Fault::redirect("REDIRECT") << 302 << false;
    // The task must not rely on its manager's policy.
    QTest::newRow("302, manager follows redirects")
        << TestHttpMirror::Fault::redirect("REDIRECT") << 302 << true;
    QTest::newRow("404") << TestHttpMirror::Fault::status(404) << 404 << false;
    QTest::newRow("401 challenge")
        << TestHttpMirror::Fault::authenticationRequired() << 401 << false;
}

void TestDownloadTaskSpecification::brokenMirrorIsRemovedAtOnce()
{
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(int, status);
    QFETCH(bool, managerFollowsRedirects);
    if (managerFollowsRedirects)
        manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);

    TestHttpMirror broken;
    TestHttpMirror good;
    const QByteArray body = pattern(5000, 'a');
    broken.setContent("7/file.bin", body);
    good.setContent("7/file.bin", body);
    good.setContent("elsewhere/file.bin", body);
    // A redirect points at a file the good mirror really has: following it would succeed.
    if (!fault.location.isEmpty())
        fault.location = good.url("elsewhere/file.bin").toEncoded();
    broken.setFault("7/file.bin", fault);

    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"A", broken.baseUrl(), "5"}, {"B", good.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "A"));

    auto task = makeTask("file.bin", body.size(), pool);
    const QString target = lastTarget;
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    const QList<QNetworkReply *> replies = manager->findChildren<QNetworkReply *>();
    QCOMPARE(replies.size(), 1);
    QSignalSpy followed(replies.first(), &QNetworkReply::redirected);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(followed.count(), 0);

    // Dropped on its first failure although it tolerates five, and never asked again.
    QCOMPARE(pool.getMirrorIndex("A"), -1);
    QCOMPARE(broken.requestCount("7/file.bin"), 1);
    QCOMPARE(good.requestCount("7/file.bin"), 1);
    QCOMPARE(good.requestCount("elsewhere/file.bin"), 0);
    QCOMPARE(mirrorRecord(pool, "B").useCount, 0);
    QCOMPARE(mirrorRecord(pool, "B").errorCount, 0);
    QCOMPARE(task->state, TaskSpecification::Finished);
    QCOMPARE(readAll(target), body);
    const QStringList log = signalTexts(messages);
    QCOMPARE(log.first(), QStringLiteral("Downloading file.bin"));
    QCOMPARE(log.last(), QStringLiteral("Downloading file.bin finished"));
    QCOMPARE(log.size(), 3);
    if (status != 401) {
        QCOMPARE(log.at(1),
                 QStringLiteral("%1/7/file.bin returned %2").arg(broken.baseUrl()).arg(status));
    } else {
        QVERIFY(!log.at(1).isEmpty());
    }
}

void TestDownloadTaskSpecification::stallIsAbandonedAfterTickLimit()
{
    TestHttpMirror server;
    const QByteArray body = pattern(8192, 'b');
    server.setContent("7/stall.bin", body);
    server.setFault("7/stall.bin", TestHttpMirror::Fault::stall(4096).times(1));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    auto task = makeTask("stall.bin", body.size(), pool);
    const QString target = lastTarget;
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(task->progress, 0.5);
    // Bounded, so that a network faster than the disk cannot pile the body up in memory.
    const QList<QNetworkReply *> replies = manager->findChildren<QNetworkReply *>();
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first()->readBufferSize(), DownloadTaskSpecification::ReadBufferSize);

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(4096));
    QCOMPARE(total, quint64(8192));
    QCOMPARE(speed, quint64(4096));
    QVERIFY(downloading);

    // Ticks 2 to 15 without data are tolerated.
    for (int tick = 2; tick <= FTPSiteAccessData::DefaultTimeoutTicks; ++tick) {
        downloading = false;
        task->timeTick(done, total, speed, downloading);
        QVERIFY2(downloading, qPrintable(QString::number(tick)));
        QCOMPARE(speed, quint64(0));
    }
    QCOMPARE(server.requestCount("7/stall.bin"), 1);
    QCOMPARE(task->state, TaskSpecification::Running);

    downloading = false;
    task->timeTick(done, total, speed, downloading);
    QVERIFY(!downloading);
    QVERIFY(signalTexts(messages).contains(QStringLiteral("file stall.bin timed out on mirror M")));
    QCOMPARE(mirrorRecord(pool, "M").errorCount, 1);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(server.requestCount("7/stall.bin"), 2);
    // The retry asks for the rest only.
    QCOMPARE(server.requestHeaders("Range"), QByteArrayList({"", "bytes=4096-"}));
    QCOMPARE(server.bodyBytesSent("7/stall.bin"), qint64(body.size()));
    QCOMPARE(readAll(target), body);
    QCOMPARE(task->progress, 1.0);
    QCOMPARE(mirrorRecord(pool, "M").useCount, 0);
}

void TestDownloadTaskSpecification::unknownSizeReportsNoTotal()
{
    TestHttpMirror server;
    const QByteArray body = pattern(8192, 'c');
    server.setContent("7/product.ini", body);
    TestHttpMirror::Fault fault = TestHttpMirror::Fault::noContentLength();
    fault.stallAt = 4096;
    server.setFault("7/product.ini", fault);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    auto task = makeTask("product.ini", -1, pool);
    const QString target = lastTarget;
    QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(QFileInfo(target).size(), qint64(4096));

    quint64 done = 0, total = 99, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(4096));
    QCOMPARE(total, quint64(0));
    QVERIFY(downloading);
    QCOMPARE(task->progress, 0.0);

    server.resumeStalled("7/product.ini");
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(readAll(target), body);
    for (int i = 0; i < progress.count() - 1; ++i)
        QCOMPARE(progress.at(i).at(0).toDouble(), 0.0);
    QCOMPARE(progress.last().at(0).toDouble(), 1.0);
}

void TestDownloadTaskSpecification::oneSlotSerialisesDownloads()
{
    TestHttpMirror server;
    server.setContent("7/first.bin", pattern(3000, 'd'));
    server.setContent("7/second.bin", pattern(2000, 'e'));
    server.setFault("7/first.bin", TestHttpMirror::Fault::stall(100));
    // The alpha mirror has one slot whatever its scheme.
    const QString updateIni
        = files.write("update.ini", "[Channel]\nalpha=" + server.baseUrl().toUtf8() + "\n");
    Mirrors pool;
    QVERIFY(pool.initAlpha(updateIni, Version));

    auto first = makeTask("first.bin", 3000, pool);
    auto second = makeTask("second.bin", -1, pool);
    QSignalSpy firstFinished(first.get(), &TaskSpecification::finished);
    QSignalSpy secondFinished(second.get(), &TaskSpecification::finished);
    first->execute();
    second->execute();
    QTRY_COMPARE(server.bodyBytesSent("7/first.bin"), qint64(100));

    // Waiting for the slot: running, no transfer, and no time-out however long it waits.
    for (int tick = 0; tick < 3 * FTPSiteAccessData::DefaultTimeoutTicks; ++tick) {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        second->timeTick(done, total, speed, downloading);
        QVERIFY(!downloading);
    }
    QCOMPARE(second->state, TaskSpecification::Running);
    QCOMPARE(server.requestCount("7/second.bin"), 0);
    QCOMPARE(pool.mirrorList().at(0).useCount, 1);

    server.resumeStalled("7/first.bin");
    QTRY_COMPARE(secondFinished.count(), 1);
    QCOMPARE(firstFinished.count(), 1);
    QCOMPARE(server.requestLog(), QStringList({"7/first.bin", "7/second.bin"}));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QCOMPARE(pool.mirrorList().at(0).errorCount, 0);
}

void TestDownloadTaskSpecification::userCancelFreesSlotAndKeepsOnlyResumableBytes_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<bool>("kept");
    // The next run of the session asks for the rest.
    QTest::newRow("known size") << qint64(8192) << true;
    // Without a size the rest could not be told from a whole file.
    QTest::newRow("unknown size") << qint64(-1) << false;
}

void TestDownloadTaskSpecification::userCancelFreesSlotAndKeepsOnlyResumableBytes()
{
    QFETCH(qint64, expectedSize);
    QFETCH(bool, kept);
    TestHttpMirror server;
    server.setContent("7/big.bin", pattern(8192, 'f'));
    server.setFault("7/big.bin", TestHttpMirror::Fault::stall(4096));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    auto task = makeTask("big.bin", expectedSize, pool);
    const QString target = lastTarget;
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(QFileInfo(target).size(), qint64(4096));
    QCOMPARE(pool.mirrorList().at(0).useCount, 1);

    task->userCanceled();
    QCOMPARE(task->state, TaskSpecification::UserCanceled);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(QFileInfo::exists(target), kept);
    if (kept)
        QCOMPARE(readAll(target), pattern(4096, 'f'));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QCOMPARE(pool.mirrorList().at(0).errorCount, 0);
    // The transfer is really given up, not just ignored.
    QTRY_COMPARE(server.openConnectionCount(), 0);

    // The slot was given back once: a later reset gives nothing back twice.
    task->reset();
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
}

void TestDownloadTaskSpecification::cancelledHolderWakesWaitingDownload()
{
    TestHttpMirror server;
    server.setContent("7/first.bin", pattern(3000, 'd'));
    server.setContent("7/second.bin", pattern(2000, 'e'));
    server.setFault("7/first.bin", TestHttpMirror::Fault::stall(100));
    const QString updateIni
        = files.write("update.ini", "[Channel]\nalpha=" + server.baseUrl().toUtf8() + "\n");
    Mirrors pool;
    QVERIFY(pool.initAlpha(updateIni, Version));

    auto first = makeTask("first.bin", 3000, pool);
    auto second = makeTask("second.bin", 2000, pool);
    const QString secondTarget = lastTarget;
    QSignalSpy secondFinished(second.get(), &TaskSpecification::finished);
    first->execute();
    second->execute();
    QTRY_COMPARE(server.bodyBytesSent("7/first.bin"), qint64(100));
    QCOMPARE(server.requestCount("7/second.bin"), 0);

    // No transfer ends by itself here: the abandoned one must wake the waiting download.
    first->userCanceled();
    QTRY_COMPARE(secondFinished.count(), 1);
    QCOMPARE(readAll(secondTarget), pattern(2000, 'e'));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
}

void TestDownloadTaskSpecification::missingDirectoryFailsAtOnce()
{
    TestHttpMirror server;
    server.setContent("7/file.bin", pattern(100, 'g'));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    const QString target = files.path("no/such/dir/file.bin");
    DownloadTaskSpecification task(manager.get(), &pool, "file.bin", target, 100, nullptr, 1.0);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();

    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(signalTexts(errors),
             QStringList(QStringLiteral("Unable to create file %1 for saving").arg(target)));
    QCOMPARE(signalTexts(messages), QStringList("Downloading file.bin"));
    QCOMPARE(pool.mirrorList().at(0).useCount, 0);
    QCOMPARE(pool.mirrorList().at(0).errorCount, 0);
    QCOMPARE(server.totalRequestCount(), 0);
}

void TestDownloadTaskSpecification::lastMirrorDroppedEndsDownloads()
{
    TestHttpMirror server;
    server.setContent("7/x.bin", pattern(8192, 'h'));
    server.setContent("7/y.bin", pattern(8192, 'i'));
    server.setFault("7/x.bin", TestHttpMirror::Fault::truncate(10));
    server.setFault("7/y.bin", TestHttpMirror::Fault::truncate(10));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "1"}}), Version);
    QSignalSpy poolMessages(&pool, &Mirrors::message);

    auto x = makeTask("x.bin", 8192, pool);
    const QString xTarget = lastTarget;
    auto y = makeTask("y.bin", 8192, pool);
    const QString yTarget = lastTarget;
    QSignalSpy xCanceled(x.get(), &TaskSpecification::canceled);
    QSignalSpy yCanceled(y.get(), &TaskSpecification::canceled);
    QSignalSpy xErrors(x.get(), &TaskSpecification::error);
    x->execute();
    y->execute();
    QTRY_COMPARE(xCanceled.count() + yCanceled.count(), 2);

    QCOMPARE(xCanceled.count(), 1);
    QCOMPARE(x->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(y->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(xErrors.count(), 0);
    QCOMPARE(poolMessagesBesideProtocol(poolMessages),
             QStringList({"Mirror M failed too many times, removing",
                          "There are no (more) known working mirrors available"}));
    QVERIFY(pool.mirrorList().isEmpty());
    // What stays behind is the start of the file, for the next run to resume.
    QVERIFY(!QFileInfo::exists(xTarget) || pattern(8192, 'h').startsWith(readAll(xTarget)));
    QVERIFY(!QFileInfo::exists(yTarget) || pattern(8192, 'i').startsWith(readAll(yTarget)));
}

void TestDownloadTaskSpecification::oversizeBodyFailsAndRetries_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<bool>("lengthHeader");

    QTest::newRow("known size") << qint64(4096) << qint64(0) << true;
    QTest::newRow("known size, no length header") << qint64(4096) << qint64(0) << false;
    QTest::newRow("unknown size, cap") << qint64(-1) << qint64(4096) << true;
    QTest::newRow("unknown size, cap, no length header") << qint64(-1) << qint64(4096) << false;
}

void TestDownloadTaskSpecification::oversizeBodyFailsAndRetries()
{
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, cap);
    QFETCH(bool, lengthHeader);

    TestHttpMirror endless;
    TestHttpMirror good;
    const QByteArray body = pattern(4096, 'j');
    endless.setContent("7/sig", body + pattern(64 * 1024, 'k'));
    if (!lengthHeader)
        endless.setFault("7/sig", TestHttpMirror::Fault::noContentLength());
    good.setContent("7/sig", body);
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"A", endless.baseUrl(), "5"}, {"B", good.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "A"));

    auto task = makeTask("sig", expectedSize, pool);
    const QString target = lastTarget;
    task->setUnknownSizeLimit(cap);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(signalTexts(messages),
             QStringList({"Downloading sig",
                          QStringLiteral("%1/7/sig sent more than the expected 4096 bytes")
                              .arg(endless.baseUrl()),
                          "Downloading sig finished"}));
    // Charged like a transfer error, not dropped.
    QCOMPARE(mirrorRecord(pool, "A").errorCount, 1);
    QCOMPARE(mirrorRecord(pool, "A").useCount, 0);
    QCOMPARE(mirrorRecord(pool, "B").useCount, 0);
    QCOMPARE(readAll(target), body);
    // The digest covers the file as written, not the bytes of the failed attempt.
    QCOMPARE(task->fileDigest(), QCryptographicHash::hash(body, QCryptographicHash::Md5));
}

void TestDownloadTaskSpecification::truncatedBodyIsRetried_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<bool>("lengthHeader");

    QTest::newRow("known size, length header") << qint64(8192) << true;
    // The connection just closes: no transfer error, only the size tells.
    QTest::newRow("known size, no length header") << qint64(8192) << false;
    QTest::newRow("unknown size, length header") << qint64(-1) << true;
}

void TestDownloadTaskSpecification::truncatedBodyIsRetried()
{
    QFETCH(qint64, expectedSize);
    QFETCH(bool, lengthHeader);

    TestHttpMirror cutting;
    TestHttpMirror good;
    const QByteArray body = pattern(8192, 'l');
    cutting.setContent("7/t.bin", body);
    good.setContent("7/t.bin", body);
    TestHttpMirror::Fault fault = TestHttpMirror::Fault::truncate(1000);
    fault.omitContentLength = !lengthHeader;
    // Every answer starts from byte 0, so that no attempt on it gets further than the first.
    fault.range = TestHttpMirror::RangeAnswer::Ignore;
    cutting.setFault("7/t.bin", fault);
    Mirrors pool;
    // However many failures it is allowed, it must never cost the file.
    pool.initDefault(
        writeMirrorsIni(files, {{"A", cutting.baseUrl(), "100000"}, {"B", good.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "A"));

    auto task = makeTask("t.bin", expectedSize, pool);
    const QString target = lastTarget;
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);

    QVERIFY(cutting.requestCount("7/t.bin") >= 1);
    QCOMPARE(good.requestCount("7/t.bin"), 1);
    // Each cut-short body charged once.
    QCOMPARE(mirrorRecord(pool, "A").errorCount, cutting.requestCount("7/t.bin"));
    QCOMPARE(mirrorRecord(pool, "B").errorCount, 0);
    QCOMPARE(readAll(target), body);
    QCOMPARE(task->fileDigest(), QCryptographicHash::hash(body, QCryptographicHash::Md5));
    const QStringList log = signalTexts(messages);
    QCOMPARE(log.count("Downloading t.bin finished"), 1);
    if (!lengthHeader) {
        QVERIFY(log.contains(
            QStringLiteral("%1/7/t.bin ended after 1000 of 8192 bytes").arg(cutting.baseUrl())));
    } else {
        // The network's own words, with the file and the mirror they are about.
        QVERIFY2(
            !log.filter(QRegularExpression(QStringLiteral("^t\\.bin from mirror A: .+"))).isEmpty(),
            qPrintable(log.join('\n')));
    }
}

void TestDownloadTaskSpecification::resumedBytesCountAsDoneNotAsSpeed_data()
{
    QTest::addColumn<bool>("keptBytesDamaged");

    QTest::newRow("kept bytes as served") << false;
    // Only the digest of the file itself, kept bytes read from disk, can reveal the damage.
    QTest::newRow("kept bytes damaged on disk") << true;
}

void TestDownloadTaskSpecification::resumedBytesCountAsDoneNotAsSpeed()
{
    QFETCH(bool, keptBytesDamaged);

    // What an earlier run left: half of the file.
    TestHttpMirror server;
    const QByteArray body = pattern(8192, 'r');
    server.setContent("7/r.bin", body);
    server.setFault("7/r.bin", TestHttpMirror::Fault::stall(1000));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);
    auto task = makeTask("r.bin", body.size(), pool);
    const QString target = lastTarget;
    QByteArray kept = body.left(4096);
    if (keptBytesDamaged)
        kept[100] = char(~kept.at(100));
    QVERIFY(writeFile(target, kept));
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);

    task->execute();
    QTRY_COMPARE(QFileInfo(target).size(), qint64(5096));
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(5096));
    QCOMPARE(total, quint64(8192));
    QCOMPARE(speed, quint64(1000));
    QCOMPARE(task->progress, 5096.0 / 8192.0);
    QCOMPARE(server.requestHeaders("Range"), QByteArrayList {"bytes=4096-"});
    QCOMPARE(signalTexts(messages),
             QStringList({"Downloading r.bin", "Resuming r.bin at 4 KB from M"}));

    server.resumeStalled("7/r.bin");
    QTRY_COMPARE(finished.count(), 1);
    const QByteArray file = kept + body.mid(4096);
    QCOMPARE(readAll(target), file);
    QVERIFY(task->wasResumed());
    QCOMPARE(task->fileDigest(), QCryptographicHash::hash(file, QCryptographicHash::Md5));
}

void TestDownloadTaskSpecification::keptFileNotOursStartsFromZero_data()
{
    QTest::addColumn<bool>("symbolic");

    QTest::newRow("link to a file elsewhere") << true;
    // Another name of an installed file, say: appending would change that file.
    QTest::newRow("hard link of a file elsewhere") << false;
}

void TestDownloadTaskSpecification::keptFileNotOursStartsFromZero()
{
    QFETCH(bool, symbolic);

    TestHttpMirror server;
    const QByteArray body = pattern(8192, 'k');
    server.setContent("7/k.bin", body);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);
    auto task = makeTask("k.bin", body.size(), pool);
    const QString target = lastTarget;
    // Looks like the start of the file, so that only where it leads gives it away.
    const QString elsewhere = files.write("elsewhere.bin", body.left(4096));
    QVERIFY(symbolic ? QFile::link(elsewhere, target)
                     : ::link(QFile::encodeName(elsewhere).constData(),
                              QFile::encodeName(target).constData())
                    == 0);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);

    task->execute();
    QTRY_COMPARE(finished.count(), 1);
    // One request, for the whole file.
    QCOMPARE(server.requestHeaders("Range"), QByteArrayList {QByteArray()});
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(readAll(target), body);
    QCOMPARE(readAll(elsewhere), body.left(4096));
    QVERIFY(!task->wasResumed());
}

void TestDownloadTaskSpecification::slowTransferIsAbandonedAfterWindow()
{
    // One byte at a time keeps the stall count at zero for ever.
    TestHttpMirror slow;
    TestHttpMirror good;
    const QByteArray body = pattern(3000, 's');
    slow.setContent("7/s.bin", body);
    slow.setFault("7/s.bin", TestHttpMirror::Fault::trickle(1, 20));
    good.setContent("7/s.bin", body);
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"A", slow.baseUrl(), "1"}, {"B", good.baseUrl(), "5"}}), Version);
    QVERIFY(makeNextChoice(pool, "A"));

    auto task = makeTask("s.bin", body.size(), pool);
    const QString target = lastTarget;
    task->setSlowTransferLimit(DownloadTaskSpecification::MinBytesPerTick, 3);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();

    int ticks = 0;
    int abandonedAt = 0;
    while (ticks < 20) {
        const qint64 before = slow.bodyBytesSent("7/s.bin");
        QTRY_VERIFY(slow.bodyBytesSent("7/s.bin") > before || !finished.isEmpty());
        if (!finished.isEmpty())
            break;
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        ++ticks;
        if (abandonedAt == 0 && mirrorRecord(pool, "A").errorCount == 1)
            abandonedAt = ticks;
        if (abandonedAt == 0)
            QVERIFY(downloading);
    }
    // Abandoned on the tick that completed the window, not before.
    QCOMPARE(abandonedAt, 3);
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(signalTexts(messages).contains("file s.bin is too slow on mirror A"));
    QCOMPARE(good.requestCount("7/s.bin"), 1);
    QCOMPARE(readAll(target), body);
}

void TestDownloadTaskSpecification::unusableMirrorUrlIsCharged()
{
    TestHttpMirror good;
    const QByteArray body = pattern(3000, 'm');
    good.setContent("7/u.bin", body);
    Mirrors pool;
    // An entry without a URL: its requests cannot even be sent.
    pool.initDefault(
        writeMirrorsIni(files, {{"Empty", QString(), "1"}, {"B", good.baseUrl(), "5"}}), Version);
    QVERIFY(makeNextChoice(pool, "Empty"));

    auto task = makeTask("u.bin", body.size(), pool);
    const QString target = lastTarget;
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(readAll(target), body);
    QVERIFY(pool.getMirrorIndex("Empty") < 0 || mirrorRecord(pool, "Empty").errorCount >= 1);
    QCOMPARE(mirrorRecord(pool, "B").errorCount, 0);
    QVERIFY(messages.count() >= 3);
    QVERIFY2(!signalTexts(messages)
                  .filter(QRegularExpression("^u\\.bin from mirror Empty: .+"))
                  .isEmpty(),
             qPrintable(signalTexts(messages).join('\n')));
}

void TestDownloadTaskSpecification::compressedFormComesFirst_data()
{
    // What the first mirror serves as the compressed form; null for none (404).
    QTest::addColumn<QByteArray>("compressed");
    // -1: unknown, bounded by the cap of the body's size.
    QTest::addColumn<qint64>("expectedSize");
    // Empty: the first mirror delivers the file; else why it is charged.
    QTest::addColumn<QString>("complaint");

    const QByteArray body = pattern(8192, 'g');
    const qint64 size = body.size();
    QTest::newRow("compressed") << gzipped(body) << size << QString();
    QTest::newRow("compressed, size unknown") << gzipped(body) << qint64(-1) << QString();
    QTest::newRow("plain only") << QByteArray() << size << QString();
    QTest::newRow("no gzip data") << body << size << "no gzip data";
    QTest::newRow("inflates to fewer bytes") << gzipped(body.chopped(1)) << size << "ended after";
    QTest::newRow("cut short") << gzipped(body).chopped(8) << size << "before the end of its gzip";
    QTest::newRow("bytes after the trailer") << gzipped(body) + "x" << size << "follow the end";
    // 4 KB inflating to 4 MB, and a cap of 8 KB.
    QTest::newRow("bomb") << gzipped(QByteArray(4 << 20, '\0')) << size << "more than 8192";
    QTest::newRow("bomb, size unknown")
        << gzipped(QByteArray(4 << 20, '\0')) << qint64(-1) << "more than 8192";
}

void TestDownloadTaskSpecification::compressedFormComesFirst()
{
    QFETCH(QByteArray, compressed);
    QFETCH(qint64, expectedSize);
    QFETCH(QString, complaint);

    const QByteArray body = pattern(8192, 'g');
    TestHttpMirror first;
    TestHttpMirror second;
    first.setContent("7/meta", body);
    if (!compressed.isNull())
        first.setContent("7/meta.gz", compressed);
    second.setContent("7/meta", body);
    second.setContent("7/meta.gz", gzipped(body));
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"A", first.baseUrl(), "5"}, {"B", second.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, "A"));

    auto task = makeTask("meta", expectedSize, pool);
    const QString target = lastTarget;
    task->setUnknownSizeLimit(body.size());
    task->setCompressedFirst(true);
    task->setWithSha256(true);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.count(), 1);

    // The plain bytes are the file and what its digests cover.
    QCOMPARE(readAll(target), body);
    QCOMPARE(task->fileSha256(), QCryptographicHash::hash(body, QCryptographicHash::Sha256));
    QCOMPARE(first.requestCount("7/meta.gz"), 1);
    // A mirror without the compressed form is asked for the plain one in the same attempt,
    // free of charge.
    QCOMPARE(first.requestCount("7/meta"), compressed.isNull() ? 1 : 0);
    QCOMPARE(second.requestCount("7/meta"), 0);
    QCOMPARE(mirrorRecord(pool, "A").lacksCompressedMetadata, compressed.isNull());
    QCOMPARE(mirrorRecord(pool, "A").errorCount, complaint.isEmpty() ? 0 : 1);
    QCOMPARE(task->servingMirrorName(), complaint.isEmpty() ? "A" : "B");
    QCOMPARE(second.requestCount("7/meta.gz"), complaint.isEmpty() ? 0 : 1);
    if (!complaint.isEmpty())
        QVERIFY2(!signalTexts(messages).filter(complaint).isEmpty(),
                 qPrintable(signalTexts(messages).join('\n')));
    if (!compressed.isNull())
        return;
    // Later metadata from it is asked for plain at once.
    first.setContent("7/other", body);
    QVERIFY(makeNextChoice(pool, "A"));
    auto later = makeTask("other", expectedSize, pool);
    later->setCompressedFirst(true);
    QSignalSpy laterFinished(later.get(), &TaskSpecification::finished);
    later->execute();
    QTRY_COMPARE(laterFinished.count(), 1);
    QCOMPARE(first.requestCount("7/other.gz"), 0);
    QCOMPARE(first.requestCount("7/other"), 1);
}

QTEST_GUILESS_MAIN(TestDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
