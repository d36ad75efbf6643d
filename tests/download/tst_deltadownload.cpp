#include "app/configuration.h"
#include "byterangeanswer.h"
#include "download/deltadownloadtaskspecification.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/blocklist.h"
#include "manifest/blockmatcher.h"
#include "manifest/sha256.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

const int Version = 7;
const QString FilePath = QStringLiteral("data/big.pak");
const QString Served = QStringLiteral("7/files/data/big.pak");

// 1.5 MB with 24 small edits spread over it, an insertion and a deletion: some 25 ranges of
// 4 KiB blocks to fetch, so that one request for a few of them is a small part of the whole.
const QByteArray Old = randomBytes(1, 1500000);
QByteArray newVersion()
{
    QByteArray bytes = Old;
    for (int i = 0; i < 24; ++i)
        bytes.replace(1000 + i * 61000, 300, randomBytes(100 + i, 300));
    bytes.insert(710000, randomBytes(3, 777));
    bytes.remove(1100000, 5000);
    return bytes;
}
const QByteArray New = newVersion();

QByteArray blockLineOf(const QByteArray &content)
{
    return ::blockLineOf(content, QStringLiteral("files/") + FilePath);
}

// The bytes and ranges a client that knows Old must fetch of New.
QPair<qint64, int> missingOf(const QString &oldPath)
{
    QBuffer buffer;
    buffer.setData(New);
    buffer.open(QIODevice::ReadOnly);
    BlockList list;
    QString problem;
    BlockList::build(&buffer, BlockList::blockSizeFor(New.size()), &list, &problem);
    BlockMatcher matcher(list);
    const int fd = ::open(QFile::encodeName(oldPath).constData(), O_RDONLY);
    matcher.scan(fd, &problem);
    ::close(fd);
    return {New.size() - matcher.reusedBytes(), int(matcher.missingRanges(0).size())};
}

} // namespace

Q_DECLARE_METATYPE(TestHttpMirror::Fault)

// A product file put together from the installed older version and ranges of real HTTP mirrors
// on 127.0.0.1, through the download list as a run does it: the blocks checked as they arrive,
// the whole file by its MD5 and SHA-256, and the whole-file download when the delta fails.
class TestDeltaDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void everyMirrorYieldsTheFileForLittleMore_data();
    void everyMirrorYieldsTheFileForLittleMore();
    void tricklingMirrorIsLeftBehind_data();
    void tricklingMirrorIsLeftBehind();
    void everyContentRangeFormIsRead_data();
    void everyContentRangeFormIsRead();
    void wrongBlockCostsTheMirrorThatSentIt();
    void installedFileChangedAfterTheScan();
    void failedDeltaFetchesTheWholeFile_data();
    void failedDeltaFetchesTheWholeFile();
    void blockListComesAsTheFileStarts_data();
    void blockListComesAsTheFileStarts();

private:
    // Runs the download list over the one record, driving its ticks (runTicking());
    // @p onMessage sees every message as it is sent.
    TickedRun run(Mirrors &pool, const std::function<void(const QString &)> &onMessage = {});
    // Serves the file from odd, with fault, and from second ("Good") beside it when given, and
    // runs the delta with odd asked first.
    TickedRun runOddFirst(TestHttpMirror &odd, const TestHttpMirror::Fault &fault,
                          TestHttpMirror *second, Mirrors &pool);

    FreshPaths files;
    std::unique_ptr<QNetworkAccessManager> manager;
    Configuration configuration;
    QList<FileDownloadSpecification> downloads;
    QString installed;
};

void TestDeltaDownload::init()
{
    QVERIFY(files.isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
    configuration.tempDir = QFileInfo(files.path(QStringLiteral("session"))).absoluteFilePath();
    QVERIFY(QDir().mkpath(configuration.tempDir));
    configuration.streams = 2;
    installed = files.path(QStringLiteral("installed.pak"));
    QVERIFY(writeFile(installed, Old));

    FileDownloadSpecification record;
    record.section = QStringLiteral("files");
    record.filePath = FilePath;
    record.md5 = md5Of(New);
    record.size = quint64(New.size());
    record.sha256 = Sha256::hash(New);
    record.installedPath = installed;
    record.blockLine = blockLineOf(New);
    QVERIFY(!record.blockLine.isEmpty());
    downloads = {record};
}

TickedRun TestDeltaDownload::runOddFirst(TestHttpMirror &odd, const TestHttpMirror::Fault &fault,
                                         TestHttpMirror *second, Mirrors &pool)
{
    odd.setContent(Served, New);
    odd.setFault(Served, fault);
    QList<MirrorEntry> entries {{"Odd", odd.baseUrl(), "5"}};
    if (second) {
        second->setContent(Served, New);
        entries.append({"Good", second->baseUrl(), "5"});
    }
    pool.initDefault(writeMirrorsIni(files, entries), Version);
    if (!makeNextChoice(pool, QStringLiteral("Odd")))
        return TickedRun();
    return run(pool);
}

TickedRun TestDeltaDownload::run(Mirrors &pool,
                                 const std::function<void(const QString &)> &onMessage)
{
    DownloadFileListTaskSpecification list(&downloads, manager.get(), &pool, &configuration,
                                           nullptr, 1.0);
    if (onMessage)
        connect(&list, &TaskSpecification::message, this, onMessage);
    return runTicking(list, {}, 500);
}

void TestDeltaDownload::everyMirrorYieldsTheFileForLittleMore_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<bool>("secondMirror");
    QTest::addColumn<QString>("lesson");
    // Requests for several ranges after the first, which tries the mirror out.
    QTest::addColumn<bool>("severalAgain");

    using A = TestHttpMirror::RangeAnswer;
    using F = TestHttpMirror::Fault;
    QTest::newRow("well-behaved") << F() << false << QString() << true;
    QTest::newRow("several ranges answered whole") << F::rangeAnswer(A::SeveralAsWhole) << false
                                                   << "cannot send several ranges at once" << false;
    QTest::newRow("several ranges unsatisfiable")
        << F::rangeAnswer(A::SeveralUnsatisfiable) << false << "cannot send several ranges at once"
        << false;
    QTest::newRow("several ranges not implemented")
        << F::rangeAnswer(A::SeveralNotImplemented) << false << "cannot send several ranges at once"
        << false;
    QTest::newRow("parts not asked for")
        << F::rangeAnswer(A::SeveralShifted) << false << "which was not asked for" << false;
    // Alone, it could only send the whole file; beside a mirror that sends ranges, it costs
    // answers dropped unread.
    QTest::newRow("one of two ignores ranges")
        << F::rangeAnswer(A::Ignore) << true << "does not send ranges" << false;
    // The first block of the first answer stays; the rest is asked for again. With blocks of
    // 1 KiB, the first answer is the first edit's two blocks and the second edit's one.
    QTest::newRow("answer breaks off once")
        << F::truncate(2500).times(1) << false << "broke off" << true;
    // The network's doing, not a wrong answer: the mirror stays, uncharged.
    QTest::newRow("connection closed before an answer")
        << F::closeBeforeAnswer().times(8) << false << QString() << true;
}

void TestDeltaDownload::everyMirrorYieldsTheFileForLittleMore()
{
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(bool, secondMirror);
    QFETCH(QString, lesson);
    QFETCH(bool, severalAgain);

    TestHttpMirror odd;
    TestHttpMirror good;
    Mirrors pool;
    const TickedRun outcome = runOddFirst(odd, fault, secondMirror ? &good : nullptr, pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    const QStringList reuse = outcome.messages.filter("reused from the installed file");
    QCOMPARE(reuse.size(), 1);
    QVERIFY(outcome.messages.filter("fetching the whole file").isEmpty());
    if (!lesson.isEmpty())
        QVERIFY2(!outcome.messages.filter(lesson).isEmpty(),
                 qPrintable(outcome.messages.join('\n')));
    else // nothing to learn: nothing held against it either
        QCOMPARE(mirrorRecord(pool, QStringLiteral("Odd")).errorCount, 0);

    // A well-behaved mirror sends the missing blocks and a part header for each range.
    const QPair<qint64, int> missing = missingOf(installed);
    QVERIFY(missing.first < New.size() / 10);
    const qint64 wellBehaved = missing.first + 120 * missing.second;
    QVERIFY2(outcome.arrived <= wellBehaved * 12 / 10,
             qPrintable(QStringLiteral("%1 bytes arrived, a well-behaved mirror sends %2")
                            .arg(outcome.arrived)
                            .arg(wellBehaved)));
    // Ranges go several to a request to a mirror that sends them correctly, and one to a
    // request once it did not.
    const QByteArrayList asked = odd.requestHeaders("Range");
    const auto several = std::count_if(asked.cbegin(), asked.cend(),
                                       [](const QByteArray &range) { return range.contains(','); });
    // The requests a limited fault ate are not the mirror's choice.
    const int eaten = qMax(0, fault.remaining);
    if (severalAgain)
        QVERIFY2(odd.totalRequestCount() - eaten < missing.second / 2,
                 qPrintable(asked.join('\n')));
    else
        QCOMPARE(several, 1);
}

void TestDeltaDownload::tricklingMirrorIsLeftBehind_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<bool>("secondMirror");
    // What Odd costs at most: one error a request it held when it was found too slow, none
    // when a faster mirror took its ranges over.
    QTest::addColumn<int>("maxErrors");

    // A byte every 20 ms, two ticks of the test: a range of a few KB would take minutes of
    // ticks, and a tick never goes by without data long enough to stall.
    const TestHttpMirror::Fault trickle = TestHttpMirror::Fault::trickle(1, 20);
    QTest::newRow("alone, trickling once") << trickle.times(1) << false << 1;
    QTest::newRow("beside a fast mirror")
        << trickle << true << DeltaDownloadTaskSpecification::MaxRequests;
}

void TestDeltaDownload::tricklingMirrorIsLeftBehind()
{
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(bool, secondMirror);
    QFETCH(int, maxErrors);

    TestHttpMirror odd;
    TestHttpMirror fast;
    Mirrors pool;
    const TickedRun outcome = runOddFirst(odd, fault, secondMirror ? &fast : nullptr, pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    QVERIFY(outcome.messages.filter("fetching the whole file").isEmpty());
    // The file and the mirror named, whichever rule left it behind.
    const QRegularExpression leftBehind(
        QStringLiteral("%1: (ranges from Odd broke off \\(too slow: .*\\), fetching the rest "
                       "again|Good takes over the ranges of the slower Odd)$")
            .arg(QRegularExpression::escape(FilePath)));
    QVERIFY2(!outcome.messages.filter(leftBehind).isEmpty(),
             qPrintable(outcome.messages.join('\n')));
    const int errors = mirrorRecord(pool, QStringLiteral("Odd")).errorCount;
    QVERIFY2(errors <= maxErrors, qPrintable(QString::number(errors)));
    QCOMPARE(errors > 0, !outcome.messages.filter("broke off (too slow").isEmpty());
    if (secondMirror)
        QCOMPARE(mirrorRecord(pool, QStringLiteral("Good")).errorCount, 0);
}

void TestDeltaDownload::everyContentRangeFormIsRead_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<bool>("legal");

    for (const ByteRangeAnswer::Form &form : ByteRangeAnswer::contentRangeForms()) {
        TestHttpMirror::Fault fault = TestHttpMirror::Fault::contentRangeIn(form.form);
        QTest::addRow("%s, in parts", form.name) << fault << form.legal;
        // One range a request: each answer is a single part.
        fault.range = TestHttpMirror::RangeAnswer::SeveralNotImplemented;
        QTest::addRow("%s, alone", form.name) << fault << form.legal;
    }
}

void TestDeltaDownload::everyContentRangeFormIsRead()
{
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(bool, legal);

    TestHttpMirror server;
    server.setContent(Served, New);
    server.setFault(Served, fault);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    const TickedRun outcome = run(pool);
    const QStringList broken = outcome.messages.filter(
        QStringLiteral("%1: mirror M gave a broken answer to a range request").arg(FilePath));
    if (!legal) {
        // Dropped at its first answer (once for each request under way then): nobody is left to
        // send the file.
        QVERIFY2(!broken.isEmpty(), qPrintable(outcome.messages.join('\n')));
        QVERIFY(mirrorRecord(pool, QStringLiteral("M")).name.isEmpty());
        QVERIFY(!outcome.finished);
        return;
    }
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    QVERIFY(broken.isEmpty());
    QVERIFY(outcome.messages.filter("fetching the whole file").isEmpty());
    QCOMPARE(mirrorRecord(pool, QStringLiteral("M")).errorCount, 0);
}

void TestDeltaDownload::wrongBlockCostsTheMirrorThatSentIt()
{
    TestHttpMirror liar;
    liar.setContent(Served, New);
    // In the first edit, which every delta fetches.
    liar.setFault(Served, TestHttpMirror::Fault::corrupt(1100));
    TestHttpMirror honest;
    honest.setContent(Served, New);
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"Liar", liar.baseUrl(), "5"}, {"Honest", honest.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("Liar")));

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    QVERIFY2(!outcome.messages
                  .filter(QStringLiteral("block %1 from mirror Liar failed its check")
                              .arg(1100 / BlockList::blockSizeFor(New.size())))
                  .isEmpty(),
             qPrintable(outcome.messages.join('\n')));
    // Charged, and asked for no range again; the honest mirror is charged nothing.
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Liar")).errorCount, 1);
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Liar")).ranges, FTPSiteAccessData::NoRanges);
    QCOMPARE(liar.totalRequestCount(), 1);
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Honest")).errorCount, 0);
    // Fetched elsewhere, not whole.
    QVERIFY(outcome.messages.filter("fetching the whole file").isEmpty());
}

void TestDeltaDownload::installedFileChangedAfterTheScan()
{
    TestHttpMirror server;
    server.setContent(Served, New);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    // Same size, other bytes, once the scan has found its blocks and before they are copied.
    const TickedRun outcome = run(pool, [this](const QString &message) {
        if (message.contains(QLatin1String("reused from the installed file")))
            QVERIFY(writeFile(installed, randomBytes(77, Old.size())));
    });
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    QCOMPARE(outcome.messages
                 .filter(QRegularExpression("fetching the whole file \\(the installed file no "
                                            "longer holds block \\d+ at \\d+: it changed after it "
                                            "was scanned\\)"))
                 .size(),
             1);
}

void TestDeltaDownload::failedDeltaFetchesTheWholeFile_data()
{
    QTest::addColumn<QByteArray>("blockLine");
    QTest::addColumn<bool>("installedFileThere");
    QTest::addColumn<bool>("mirrorSendsRanges");
    QTest::addColumn<QByteArray>("signedContent");
    QTest::addColumn<QString>("reason");
    // -1: dropped, as by a wrong whole file.
    QTest::addColumn<int>("mirrorErrors");

    const QByteArray right = blockLineOf(New);
    const QByteArray other = randomBytes(9, New.size());
    QTest::newRow("damaged block list") << QByteArray(right).replace(' ', '_') << true << true
                                        << New << "its block list is unusable" << 0;
    QTest::newRow("installed file gone")
        << right << false << true << New << "the installed file cannot be read" << 0;
    QTest::newRow("no mirror sends ranges")
        << right << true << false << New << "no mirror left answers range requests" << 0;
    // Its blocks fail against the list: the mirror is charged (once for each request under way
    // then), not asked for ranges again, and sends the file whole.
    QTest::newRow("block list of another file") << blockLineOf(other) << true << true << New
                                                << "no mirror left answers range requests" << 1;
    // The blocks match the list, the whole file not what was signed: the file put together is
    // never taken, and the whole file costs the mirror as any whole file would.
    QTest::newRow("signed digests of another file")
        << right << true << true << other << "the file put together failed its check" << -1;
}

void TestDeltaDownload::failedDeltaFetchesTheWholeFile()
{
    QFETCH(QByteArray, blockLine);
    QFETCH(bool, installedFileThere);
    QFETCH(bool, mirrorSendsRanges);
    QFETCH(QByteArray, signedContent);
    QFETCH(QString, reason);
    QFETCH(int, mirrorErrors);

    downloads[0].blockLine = blockLine;
    downloads[0].md5 = md5Of(signedContent);
    downloads[0].sha256 = Sha256::hash(signedContent);
    if (!installedFileThere)
        QVERIFY(QFile::remove(installed));
    TestHttpMirror server;
    server.setContent(Served, New);
    if (!mirrorSendsRanges)
        server.setFault(Served,
                        TestHttpMirror::Fault::rangeAnswer(TestHttpMirror::RangeAnswer::Ignore));
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(files, {{"M", server.baseUrl(), "5"}}), Version);

    const TickedRun outcome = run(pool);
    QCOMPARE(outcome.messages
                 .filter(QStringLiteral("%1: fetching the whole file (%2").arg(FilePath, reason))
                 .size(),
             1);
    // The last request was for the whole file.
    QVERIFY(!server.requestHeaders("Range").isEmpty());
    QVERIFY(server.requestHeaders("Range").last().isEmpty());
    if (mirrorErrors < 0) {
        QVERIFY(!outcome.finished);
        QVERIFY(mirrorRecord(pool, QStringLiteral("M")).name.isEmpty());
        return;
    }
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    const int errors = mirrorRecord(pool, QStringLiteral("M")).errorCount;
    QVERIFY2(mirrorErrors == 0
                 ? errors == 0
                 : errors >= mirrorErrors && errors <= DeltaDownloadTaskSpecification::MaxRequests,
             qPrintable(QString::number(errors)));
}

namespace {

const QString ListServed = Served + QLatin1String("::blocks");
const QByteArray List = "varnolt-hashes 1\n" + blockLineOf(New) + '\n';

} // namespace

void TestDeltaDownload::blockListComesAsTheFileStarts_data()
{
    // What the first mirror serves as the list's plain and compressed forms; null for none.
    QTest::addColumn<QByteArray>("oddList");
    QTest::addColumn<QByteArray>("oddCompressed");
    // Whether the second mirror serves both forms.
    QTest::addColumn<bool>("goodList");
    // Whether an older version is installed (else the file needs no list), and whether an
    // earlier run of the session left the list.
    QTest::addColumn<bool>("installedThere");
    QTest::addColumn<bool>("listKept");
    QTest::addColumn<bool>("delta");
    QTest::addColumn<int>("oddErrors");
    QTest::addColumn<int>("goodErrors");
    // Requests for either form of the list, on both mirrors.
    QTest::addColumn<int>("listRequests");

    QByteArray other = List;
    other[20] = other.at(20) == 'A' ? 'B' : 'A';
    QTest::newRow("compressed") << List << gzipped(List) << true << true << false << true << 0 << 0
                                << 1;
    QTest::newRow("plain only") << List << QByteArray() << true << true << false << true << 0 << 0
                                << 2;
    QTest::newRow("kept from an earlier run")
        << QByteArray() << QByteArray() << true << true << true << true << 0 << 0 << 0;
    QTest::newRow("missing on one mirror")
        << QByteArray() << QByteArray() << true << true << false << true << 1 << 0 << 3;
    QTest::newRow("other bytes on one mirror")
        << other << gzipped(other) << true << true << false << true << 1 << 0 << 2;
    QTest::newRow("inflates to fewer bytes on one mirror")
        << List << gzipped(List.chopped(1)) << true << true << false << true << 1 << 0 << 2;
    // Asked of both, then the file is fetched without it.
    QTest::newRow("on no mirror") << QByteArray() << QByteArray() << false << true << false << false
                                  << 1 << 1 << 4;
    QTest::newRow("no installed version")
        << List << gzipped(List) << true << false << false << false << 0 << 0 << 0;
}

void TestDeltaDownload::blockListComesAsTheFileStarts()
{
    QFETCH(QByteArray, oddList);
    QFETCH(QByteArray, oddCompressed);
    QFETCH(bool, goodList);
    QFETCH(bool, installedThere);
    QFETCH(bool, listKept);
    QFETCH(bool, delta);
    QFETCH(int, oddErrors);
    QFETCH(int, goodErrors);
    QFETCH(int, listRequests);

    // As the list building leaves a record of a release whose lists are files of their own.
    downloads[0].blockLine.clear();
    downloads[0].listSha256 = Sha256::hash(List);
    downloads[0].listSize = List.size();
    if (!installedThere)
        downloads[0].installedPath.clear();
    if (listKept)
        QVERIFY(writeFile(configuration.tempDir + '/' + FilePath + "::blocks", List));
    TestHttpMirror odd;
    TestHttpMirror good;
    odd.setContent(Served, New);
    good.setContent(Served, New);
    if (!oddList.isNull())
        odd.setContent(ListServed, oddList);
    if (!oddCompressed.isNull())
        odd.setContent(ListServed + ".gz", oddCompressed);
    if (goodList) {
        good.setContent(ListServed, List);
        good.setContent(ListServed + ".gz", gzipped(List));
    }
    Mirrors pool;
    pool.initDefault(
        writeMirrorsIni(files, {{"Odd", odd.baseUrl(), "5"}, {"Good", good.baseUrl(), "5"}}),
        Version);
    QVERIFY(makeNextChoice(pool, QStringLiteral("Odd")));

    const TickedRun outcome = run(pool);
    QVERIFY2(outcome.finished, qPrintable(outcome.messages.join('\n')));
    QCOMPARE(readAll(configuration.tempDir + '/' + FilePath), New);
    QCOMPARE(outcome.messages.filter("reused from the installed file").size(), delta ? 1 : 0);
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Odd")).errorCount, oddErrors);
    QCOMPARE(mirrorRecord(pool, QStringLiteral("Good")).errorCount, goodErrors);
    const auto asked = [](const TestHttpMirror &mirror) {
        return mirror.requestCount(ListServed) + mirror.requestCount(ListServed + ".gz");
    };
    QCOMPARE(asked(odd) + asked(good), listRequests);
    QCOMPARE(outcome.messages.filter("its block list cannot be had").size(),
             installedThere && !delta ? 1 : 0);
}

QTEST_MAIN(TestDeltaDownload)
#include "tst_deltadownload.moc"
