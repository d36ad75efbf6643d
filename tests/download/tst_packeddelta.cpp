#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/gzipaccesspoints.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const int Version = 7;
const QString Section = QStringLiteral("client_linux_amd64");
const QString FilePath = QStringLiteral("data/big.txt.gz");
const QString Served = QStringLiteral("7/client_linux_amd64/data/big.txt.gz");

// Words of a small vocabulary, as text compresses: deflate's matches reach back across blocks.
QByteArray textLike(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QByteArray text;
    while (text.size() < size)
        text += QByteArray::number(generator.bounded(4000), 36)
            + (generator.bounded(9) ? " " : "\n");
    return text.left(size);
}

const QByteArray Old = textLike(1, 800000);
QByteArray newVersion()
{
    QByteArray bytes = Old;
    for (int i = 0; i < 10; ++i)
        bytes.replace(5000 + i * 79000, 200, textLike(100 + i, 200));
    bytes.insert(400000, textLike(3, 999));
    return bytes;
}
const QByteArray New = newVersion();

} // namespace

Q_DECLARE_METATYPE(TestHttpMirror::Fault)

// A gzip-stored file put together unpacked from the installed older version and ranges of the
// stored file inflated from their access points, through the download list as a run does it,
// against real mirrors on 127.0.0.1 serving a file the release tool published.
class TestPackedDelta : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void unpackedContentIsPutTogether_data();
    void unpackedContentIsPutTogether();

private:
    QTemporaryDir release;
    QByteArray stored;
    SideFile::FileLines lines;
    std::unique_ptr<QTemporaryDir> work;
    FreshPaths paths;
    std::unique_ptr<QNetworkAccessManager> manager;
    Configuration configuration;
    QList<FileDownloadSpecification> downloads;
    QString installed;
};

void TestPackedDelta::initTestCase()
{
    QVERIFY(writeTreeFile(release.filePath(QStringLiteral("source")),
                          QStringLiteral("data/big.txt"), New));
    const QString complaint = publishRelease(
        release.filePath(QStringLiteral("source")), release.filePath(QStringLiteral("mirror")),
        Section, Version, {"--gzip", "data/big.txt", "--block-lists-from", "60000"});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    stored = readAll(release.filePath(QStringLiteral("mirror/") + Served));
    QFile side(release.filePath(QStringLiteral("mirror/7/") + Section + QLatin1String(".hashes")));
    QVERIFY(side.open(QIODevice::ReadOnly));
    QHash<QString, SideFile::FileLines> wanted {{SideFile::pathOf(Section, FilePath), {}}};
    SideFile::lookUpFileLines(&side, &wanted);
    lines = wanted.value(SideFile::pathOf(Section, FilePath));
    QVERIFY(!lines.blocks.isEmpty() && !lines.points.isEmpty());
    QCOMPARE(lines.unpackedSha256, Sha256::hash(New));
}

void TestPackedDelta::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
    configuration.tempDir = work->filePath(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(configuration.tempDir + QLatin1String("/data")));
    configuration.streams = 2;
    // Left by another session: never to be taken for this one's.
    QVERIFY(writeFile(configuration.tempDir + QLatin1Char('/') + FilePath
                          + QLatin1String(FileDownloadSpecification::UnpackedSuffix),
                      "stale"));
    installed = work->filePath(QStringLiteral("big.txt"));
    QVERIFY(writeFile(installed, Old));

    FileDownloadSpecification record;
    record.section = Section;
    record.filePath = FilePath;
    record.md5 = md5Of(stored);
    record.size = quint64(stored.size());
    record.unpacked = true;
    record.sha256 = Sha256::hash(stored);
    record.installedPath = installed;
    record.blockLine = lines.blocks;
    record.pointsLine = lines.points;
    record.unpackedMd5 = md5Of(New);
    record.unpackedSha256 = lines.unpackedSha256;
    downloads = {record};
}

void TestPackedDelta::unpackedContentIsPutTogether_data()
{
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<QByteArray>("pointsLine");
    QTest::addColumn<QString>("lesson");
    QTest::addColumn<bool>("whole");

    using F = TestHttpMirror::Fault;
    QTest::newRow("well-behaved") << F() << QByteArray() << QString() << false;
    QTest::newRow("parts not asked for")
        << F::rangeAnswer(TestHttpMirror::RangeAnswer::SeveralShifted) << QByteArray()
        << "which was not asked for" << false;
    // A byte in the stored bytes of the first change: they do not inflate, or not to the right
    // block. The only mirror is not asked for ranges again and sends the file whole.
    GzipAccessPoints points;
    QString path;
    QString problem;
    QVERIFY(GzipAccessPoints::fromLine(lines.points, &points, &path, &problem));
    QTest::newRow("damaged stored bytes")
        << F::corrupt(points.bitOffset(1) / 8 + 10).times(1) << QByteArray()
        << "block 1 from mirror M failed its check" << true;
    QTest::newRow("damaged access points")
        << F() << QByteArray("points 1 3 AAAA client_linux_amd64/data/big.txt.gz")
        << "fetching the whole file (its block list is unusable" << true;
}

void TestPackedDelta::unpackedContentIsPutTogether()
{
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(QByteArray, pointsLine);
    QFETCH(QString, lesson);
    QFETCH(bool, whole);

    if (!pointsLine.isEmpty())
        downloads[0].pointsLine = pointsLine;
    TestHttpMirror server;
    server.setContent(Served, stored);
    server.setFault(Served, fault);
    Mirrors pool;
    pool.initDefault(writeMirrorsIni(paths, {{"M", server.baseUrl(), "5"}}), Version);
    DownloadFileListTaskSpecification list(&downloads, manager.get(), &pool, &configuration,
                                           nullptr, 1.0);
    QSignalSpy finished(&list, &TaskSpecification::finished);
    QSignalSpy canceled(&list, &TaskSpecification::canceled);
    QSignalSpy messages(&list, &TaskSpecification::message);
    list.execute();
    QVERIFY(QTest::qWaitFor([&] { return !finished.isEmpty() || !canceled.isEmpty(); }, 30000));
    const QStringList log = signalTexts(messages);
    QVERIFY2(finished.size() == 1, qPrintable(log.join('\n')));
    if (!lesson.isEmpty())
        QVERIFY2(!log.filter(lesson).isEmpty(), qPrintable(log.join('\n')));

    const QString download = configuration.tempDir + QLatin1Char('/') + FilePath;
    const QString unpacked = download + QLatin1String(FileDownloadSpecification::UnpackedSuffix);
    if (whole) {
        // The stored file, to be unpacked as any; no unpacked content beside it.
        QCOMPARE(readAll(download), stored);
        QVERIFY(!QFileInfo::exists(unpacked));
        return;
    }
    QCOMPARE(readAll(unpacked), New);
    QVERIFY(!QFileInfo::exists(download));
    QCOMPARE(log.filter("reused from the installed file").size(), 1);
    // The changes' blocks, compressed: a small part of the stored file.
    QVERIFY2(
        server.totalBodyBytesSent() < stored.size() / 5,
        qPrintable(QStringLiteral("%1 of %2").arg(server.totalBodyBytesSent()).arg(stored.size())));
}

QTEST_MAIN(TestPackedDelta)
#include "tst_packeddelta.moc"
