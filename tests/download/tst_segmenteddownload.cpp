#include "app/configuration.h"
#include "byterangeanswer.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/mirrors.h"
#include "download/segmenteddownloadtaskspecification.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/blocklist.h"
#include "manifest/sha256.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

namespace {

const int Version = 7;
const QString FilePath = QStringLiteral("data/big.pak");
const QString Served = QStringLiteral("7/files/data/big.pak");
const qint64 Size = 2 * 1024 * 1024;
const QByteArray Content = randomBytes(5, Size);

} // namespace

Q_DECLARE_METATYPE(TestHttpMirror::Fault)

// A large product file fetched from two real HTTP mirrors on 127.0.0.1 at once, through the
// download list as a run does it: each mirror sends segments by range, a mirror that fails
// its segment is judged on its own, and the file is right whatever the mirrors do.
class TestSegmentedDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void everyFaultCostsOnlyItsMirror_data();
    void everyFaultCostsOnlyItsMirror();
    void slowMirrorsSegmentIsSplitAndFinishedElsewhere();
    void mirrorBusyAtFirstJoinsLater();
    void segmentsAreResumedByTheNextRun_data();
    void segmentsAreResumedByTheNextRun();
    void onlyASlowWholeDownloadIsSplit_data();
    void onlyASlowWholeDownloadIsSplit();

private:
    // Runs the download list over the one record, driving its ticks; @p afterTick may stop it
    // (returning true) by a user cancel.
    TickedRun run(Mirrors &pool, const std::function<bool(quint64 done)> &afterTick = {});

    FreshPaths files;
    std::unique_ptr<QNetworkAccessManager> manager;
    Configuration configuration;
    QList<FileDownloadSpecification> downloads;
};

void TestSegmentedDownload::init()
{
    QVERIFY(files.isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
    configuration.tempDir = QFileInfo(files.path(QStringLiteral("session"))).absoluteFilePath();
    QVERIFY(QDir().mkpath(configuration.tempDir));
    configuration.streams = 2;
    // Small enough for a test file to be split a few times.
    configuration.segmentFrom = 256 * 1024;
    configuration.segmentMinimum = 128 * 1024;
    // Split at once, whatever the pace.
    configuration.segmentPace = 0;

    FileDownloadSpecification record;
    record.section = QStringLiteral("files");
    record.filePath = FilePath;
    record.md5 = md5Of(Content);
    record.size = quint64(Size);
    record.sha256 = Sha256::hash(Content);
    record.blockLine = blockLineOf(Content, QStringLiteral("files/") + FilePath);
    QVERIFY(!record.blockLine.isEmpty());
    downloads = {record};
}

TickedRun TestSegmentedDownload::run(Mirrors &pool, const std::function<bool(quint64)> &afterTick)
{
    DownloadFileListTaskSpecification list(&downloads, manager.get(), &pool, &configuration,
                                           nullptr, 1.0);
    return runTicking(list, afterTick);
}

void TestSegmentedDownload::everyFaultCostsOnlyItsMirror_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("faultA");
    QTest::addColumn<TestHttpMirror::Fault>("faultB");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("retriesB");
    QTest::addColumn<QString>("lesson");
    // B's errors at the end; -1 when it was dropped.
    QTest::addColumn<int>("errorsB");
    QTest::addColumn<bool>("rangesFromB");

    using A = TestHttpMirror::RangeAnswer;
    using F = TestHttpMirror::Fault;
    // In the first block of B's segment: the segment's later half may be split off to A before
    // B reaches it, and then B would never send the wrong byte.
    const qint64 inB = Size / 2 + 100;
    QTest::newRow("both well-behaved, checked by blocks")
        << F() << F() << true << "5" << QString() << 0 << true;
    QTest::newRow("both well-behaved, checked as a whole")
        << F() << F() << false << "5" << QString() << 0 << true;
    // B fails before its first byte: bytes sent first may, on a busy machine, come over
    // several ticks and make B look merely slow, so that A takes its segment over before the
    // rule under test ends it.
    QTest::newRow("B stalls") << F() << F::stall(0).times(1) << true << "5"
                              << "the segment from B broke off (no data for" << 1 << true;
    QTest::newRow("B cuts off") << F() << F::truncate(0).times(1) << false << "5"
                                << "the segment from B broke off" << 1 << true;
    // Dropped from the pool meanwhile, as another file's failure would: its segment goes on
    // until it stalls, then to A.
    QTest::newRow("B dropped mid-segment") << F() << F::stall(0) << true << "drop"
                                           << "the segment from B broke off" << -1 << false;
    QTest::newRow("B lies in one block")
        << F() << F::corrupt(inB) << true << "5"
        << QStringLiteral("block %1 from mirror B failed its check")
               .arg(inB / BlockList::blockSizeFor(Size))
        << 1 << false;
    // Only the whole file's digest can tell; then no one mirror can be blamed, and one sends
    // it whole.
    QTest::newRow("B lies, no block list")
        << F() << F::corrupt(inB).times(1) << false << "5"
        << "failed on a resumed download, fetching it whole" << 0 << true;
    QTest::newRow("B answers a range with the whole file")
        << F() << F::rangeAnswer(A::Ignore) << true << "5"
        << "mirror B does not send ranges" << 0 << false;
    QTest::newRow("B answers another range") << F() << F::rangeAnswer(A::WrongStart) << true << "5"
                                             << "mirror B does not send ranges" << 0 << false;
    QTest::newRow("B answers 500") << F() << F::status(500) << true << "5"
                                   << "gave a broken answer to a range request" << -1 << false;
    // Any legal Content-Range is taken; a wrong one is a broken answer.
    for (const ByteRangeAnswer::Form &form : ByteRangeAnswer::contentRangeForms())
        QTest::addRow("B's Content-Range: %s", form.name)
            << F() << F::contentRangeIn(form.form) << true << "5"
            << (form.legal ? QString() : QStringLiteral("gave a broken answer to a range request"))
            << (form.legal ? 0 : -1) << form.legal;
    // The rest of the file comes whole, as a whole download resumes it.
    QTest::newRow("neither sends ranges")
        << F::rangeAnswer(A::Ignore) << F::rangeAnswer(A::Ignore) << true << "5"
        << "fetching the rest whole (no mirror left answers range requests)" << 0 << false;
}

void TestSegmentedDownload::everyFaultCostsOnlyItsMirror()
{
    QFETCH(TestHttpMirror::Fault, faultA);
    QFETCH(TestHttpMirror::Fault, faultB);
    QFETCH(bool, checked);
    QFETCH(QString, retriesB);
    QFETCH(QString, lesson);
    QFETCH(int, errorsB);
    QFETCH(bool, rangesFromB);

    if (!checked)
        downloads[0].blockLine.clear();
    TestHttpMirror a;
    a.setContent(Served, Content);
    a.setFault(Served, faultA);
    TestHttpMirror b;
    b.setContent(Served, Content);
    b.setFault(Served, faultB);
    Mirrors pool;
    const bool drop = retriesB == QLatin1String("drop");
    pool.initDefault(
        writeMirrorsIni(files,
                        {{"A", a.baseUrl(), "5"}, {"B", b.baseUrl(), drop ? "5" : retriesB}}),
        Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("A")));
    if (drop)
        connect(&b, &TestHttpMirror::requestReceived, &pool,
                [&pool] { pool.removeMirror(QStringLiteral("B")); });

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), Content);
    QVERIFY(!QFile::exists(
        SegmentedDownloadTaskSpecification::controlPath(configuration.tempDir + '/' + FilePath)));
    if (!lesson.isEmpty())
        QVERIFY2(!outcome.messages.filter(lesson).isEmpty(),
                 qPrintable(outcome.messages.join('\n')));

    // Both were asked for a segment at once, by range: A for the whole file, B for its half.
    const QByteArrayList rangesA = a.requestHeaders("Range");
    const QByteArrayList rangesB = b.requestHeaders("Range");
    QVERIFY(!rangesA.isEmpty() && !rangesB.isEmpty());
    QCOMPARE(rangesA.first(), QByteArray("bytes=0-") + QByteArray::number(Size - 1));
    QCOMPARE(rangesB.first(),
             "bytes=" + QByteArray::number(Size / 2) + '-' + QByteArray::number(Size - 1));

    // A is never charged for what B did.
    QCOMPARE(mirrorRecord(pool, QStringLiteral("A")).errorCount, 0);
    const FTPSiteAccessData recordB = mirrorRecord(pool, QStringLiteral("B"));
    if (errorsB < 0) {
        QVERIFY(recordB.name.isEmpty());
    } else {
        QVERIFY2(!recordB.name.isEmpty(), qPrintable(outcome.messages.join('\n')));
        QCOMPARE(recordB.errorCount, errorsB);
        QCOMPARE(recordB.ranges != FTPSiteAccessData::NoRanges, rangesFromB);
    }
    if (lesson.isEmpty()) {
        // Both sent a part; what a segment's answer brings past its end (split off meanwhile)
        // is at most what the reply buffers.
        QVERIFY(b.bodyBytesSent(Served) > 0);
        QVERIFY2(outcome.arrived < Size * 13 / 10, qPrintable(QString::number(outcome.arrived)));
    }
}

void TestSegmentedDownload::slowMirrorsSegmentIsSplitAndFinishedElsewhere()
{
    TestHttpMirror fast;
    fast.setContent(Served, Content);
    TestHttpMirror slow;
    slow.setContent(Served, Content);
    // About 400 KB/s: while its half would take seconds, the fast one takes half of what it
    // has left, again and again, until no part is worth splitting.
    slow.setFault(Served, TestHttpMirror::Fault::trickle(8 * 1024, 20));
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"Fast", fast.baseUrl(), "5"}, {"Slow", slow.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("Fast")));

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), Content);
    // The slow mirror's last segment, once not worth splitting, went to the fast one: the slow
    // one sent less than twice the minimum.
    QVERIFY2(slow.bodyBytesSent(Served) < 2 * configuration.segmentMinimum,
             qPrintable(QString::number(slow.bodyBytesSent(Served))));
    QCOMPARE(outcome.messages.filter("Fast takes over the rest of the segment from the slower Slow")
                 .size(),
             1);
    // The fast one: its first half, then halves of what the slow one had left.
    const QByteArrayList ranges = fast.requestHeaders("Range");
    QVERIFY2(ranges.size() >= 3, ranges.join('\n'));
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Slow")).errorCount, 0);
}

void TestSegmentedDownload::mirrorBusyAtFirstJoinsLater()
{
    // B has one slot, taken by a small file when the large one starts.
    const QString smallServed = QStringLiteral("7/files/small.bin");
    const QByteArray small = randomBytes(6, 40000);
    FileDownloadSpecification record;
    record.section = QStringLiteral("files");
    record.filePath = QStringLiteral("small.bin");
    record.md5 = md5Of(small);
    record.size = quint64(small.size());
    downloads.prepend(record);
    TestHttpMirror a;
    a.setContent(Served, Content);
    a.setFault(Served, TestHttpMirror::Fault::trickle(64 * 1024, 10));
    TestHttpMirror b;
    b.setContent(Served, Content);
    b.setContent(smallServed, small);
    b.setFault(smallServed, TestHttpMirror::Fault::trickle(4096, 10));
    Mirrors pool;
    pool.initDefault(files.write(QStringLiteral("mirrors.ini"),
                                 mirrorsIniText({{"A", a.baseUrl(), "5"}, {"B", b.baseUrl(), "5"}})
                                     + "slots=1\n"),
                     Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("B")));

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), Content);
    QCOMPARE(a.requestCount(smallServed), 0);
    // Once the small file was in, B took half of what A had left.
    QVERIFY2(b.requestCount(Served) >= 1, qPrintable(outcome.messages.join('\n')));
    QVERIFY(!outcome.messages.filter(QRegularExpression("big.pak: bytes [1-9]\\d* to \\d+ from B"))
                 .isEmpty());
}

void TestSegmentedDownload::segmentsAreResumedByTheNextRun_data()
{
    QTest::addColumn<bool>("linkPlanted");
    QTest::newRow("lines of the session") << false;
    // Lines reached through a link planted at their name are not the session's, and not taken.
    QTest::newRow("lines behind a planted link") << true;
}

void TestSegmentedDownload::segmentsAreResumedByTheNextRun()
{
    QFETCH(bool, linkPlanted);
    TestHttpMirror a;
    a.setContent(Served, Content);
    a.setFault(Served, TestHttpMirror::Fault::stall(300000).times(1));
    TestHttpMirror b;
    b.setContent(Served, Content);
    b.setFault(Served, TestHttpMirror::Fault::stall(200000).times(1));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"A", a.baseUrl(), "5"}, {"B", b.baseUrl(), "5"}}),
                     Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("A")));

    // Cancelled once both have sent what they will before they stall.
    const TickedRun first = run(pool, [](quint64 done) { return done >= 400000; });
    QVERIFY(!first.finished);
    const QString local = configuration.tempDir + '/' + FilePath;
    const QString lines = SegmentedDownloadTaskSpecification::controlPath(local);
    const QByteArray saved = readAll(lines);
    QVERIFY2(saved.startsWith("segments " + QByteArray::number(Size) + '\n'), saved);
    QCOMPARE(saved.count('\n'), 3);
    const QString elsewhere = files.path(QStringLiteral("elsewhere"));
    if (linkPlanted) {
        QVERIFY(QFile::rename(lines, elsewhere));
        QVERIFY(QFile::link(elsewhere, lines));
    }
    const qint64 held = QFileInfo(local).size();

    // The next run has a single mirror; it asks only for what is not in the file.
    Mirrors next;
    next.initDefault(writeMirrorsIni(files, {{"A", a.baseUrl(), "5"}}), Version);
    const int before = a.requestHeaders("Range").size();
    const qint64 sentBefore = a.bodyBytesSent(Served);
    const TickedRun second = run(next);
    QVERIFY2(second.finished, qPrintable(second.messages.join('\n')));
    QCOMPARE(readAll(local), Content);
    QVERIFY(!QFile::exists(lines));
    const QByteArrayList asked = a.requestHeaders("Range").mid(before);
    if (linkPlanted) {
        // Taken, the lines would have it ask for the gaps between the segments they name;
        // without them the file is continued after its end, or fetched whole.
        for (const QByteArray &range : asked)
            QVERIFY2(range.isEmpty() || range.mid(6).split('-').first().toLongLong() >= held,
                     range);
        QCOMPARE(readAll(elsewhere), saved);
        return;
    }
    QVERIFY(!second.messages.filter("Resuming " + Served.mid(2)).isEmpty());
    QCOMPARE(asked.size(), 2);
    for (const QByteArray &range : asked)
        QVERIFY2(!range.startsWith("bytes=0-")
                     && range
                         != "bytes=" + QByteArray::number(Size / 2) + '-'
                             + QByteArray::number(Size - 1),
                 range);
    QVERIFY(a.bodyBytesSent(Served) - sentBefore <= Size - 400000);
}

void TestSegmentedDownload::onlyASlowWholeDownloadIsSplit_data()
{
    QTest::addColumn<qint64>("pace");
    // Bytes a test tick from A, 0 for as fast as it goes.
    QTest::addColumn<qint64>("trickle");
    QTest::addColumn<qint64>("corruptAt");
    QTest::addColumn<bool>("slow");
    QTest::addColumn<QString>("lesson");
    const qint64 block = BlockList::blockSizeFor(Size);
    // Far under the pace, and the split falls inside a block: the block cut short must come
    // again whole, or the file has a hole where its tail was.
    QTest::newRow("slow") << qint64(1024 * 1024) << qint64(64 * 1024 + 100) << qint64(-1) << true
                          << QString();
    // The whole download's bytes did not come through the block checks: they are checked
    // before the split goes on, and the mirror that sent a wrong one is charged.
    QTest::newRow("slow, and a block before the split is wrong")
        << qint64(1024 * 1024) << qint64(64 * 1024 + 100) << 3 * block + 7 << true
        << QStringLiteral("block 3 that mirror A sent before the split failed its check");
    // Any bytes in a tick are pace enough.
    QTest::newRow("fast enough alone")
        << qint64(1) << qint64(0) << qint64(-1) << false << QString();
}

void TestSegmentedDownload::onlyASlowWholeDownloadIsSplit()
{
    QFETCH(qint64, pace);
    QFETCH(qint64, trickle);
    QFETCH(qint64, corruptAt);
    QFETCH(bool, slow);
    QFETCH(QString, lesson);
    configuration.segmentPace = pace;
    TestHttpMirror a;
    a.setContent(Served, Content);
    TestHttpMirror::Fault fault
        = trickle > 0 ? TestHttpMirror::Fault::trickle(trickle, 10) : TestHttpMirror::Fault();
    fault.corruptAt = corruptAt;
    a.setFault(Served, fault);
    TestHttpMirror b;
    b.setContent(Served, Content);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"A", a.baseUrl(), "5"}, {"B", b.baseUrl(), "5"}}),
                     Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("A")));

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), Content);
    // First a whole download from A; once it came slowly, what it had stays and the rest
    // comes in segments from both.
    QCOMPARE(a.requestHeaders("Range").constFirst(), QByteArray());
    QCOMPARE(outcome.messages.filter("comes slowly, fetching it from every mirror at once").size(),
             slow ? 1 : 0);
    QCOMPARE(b.requestCount(Served) > 0, slow);
    if (slow) {
        QVERIFY(!outcome.messages.filter("Resuming files/data/big.pak with").isEmpty());
        // Never the whole file again.
        QVERIFY2(outcome.arrived < Size * 13 / 10, qPrintable(QString::number(outcome.arrived)));
    }
    const FTPSiteAccessData recordA = mirrorRecord(pool, QStringLiteral("A"));
    QCOMPARE(recordA.errorCount, lesson.isEmpty() ? 0 : 1);
    QCOMPARE(recordA.ranges == FTPSiteAccessData::NoRanges, !lesson.isEmpty());
    if (!lesson.isEmpty())
        QVERIFY2(!outcome.messages.filter(lesson).isEmpty(),
                 qPrintable(outcome.messages.join('\n')));
}

QTEST_MAIN(TestSegmentedDownload)
#include "tst_segmenteddownload.moc"
