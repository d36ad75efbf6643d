#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/blocklist.h"
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

// A file of the release: its installed version and the new one.
struct Versions
{
    QString name;
    QByteArray old;
    QByteArray fresh;
    QString filePath() const { return QStringLiteral("data/") + name + QLatin1String(".gz"); }
    QString served() const { return QStringLiteral("7/client_linux_amd64/") + filePath(); }
};

// A few changes far apart, and an insertion that moves the rest of the file.
Versions sparse()
{
    Versions file {QStringLiteral("big.txt"), textLike(1, 800000), {}};
    file.fresh = file.old;
    for (int i = 0; i < 10; ++i)
        file.fresh.replace(5000 + i * 79000, 200, textLike(100 + i, 200));
    file.fresh.insert(400000, textLike(3, 999));
    return file;
}

// Small edits every 16 to 28 KiB: the changed blocks lie closer than deflate's 32 KiB window
// all through the file, so that nearly every range is inflated after bytes fetched before it.
Versions dense()
{
    Versions file {QStringLiteral("dense.txt"), textLike(2, 3 * 1024 * 1024), {}};
    file.fresh = file.old;
    QRandomGenerator generator(5);
    for (qsizetype at = 10000; at < file.fresh.size() - 100;
         at += 16 * 1024 + generator.bounded(12 * 1024))
        file.fresh.replace(at, 40, textLike(quint32(at), 40));
    return file;
}

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
    void unpackedContentIsPutTogether_data();
    void unpackedContentIsPutTogether();

private:
    // A file as published: the stored bytes and its side file lines.
    struct Published
    {
        Versions versions;
        QByteArray stored;
        SideFile::FileLines lines;
    };
    void prepare(const Published &file);

    QTemporaryDir release;
    QList<Published> files;
    std::unique_ptr<QTemporaryDir> work;
    FreshPaths paths;
    std::unique_ptr<QNetworkAccessManager> manager;
    Configuration configuration;
    QList<FileDownloadSpecification> downloads;
};

void TestPackedDelta::initTestCase()
{
    const QString source = release.filePath(QStringLiteral("source"));
    QStringList arguments {"--block-lists-from", "60000"};
    for (const Versions &versions : {sparse(), dense()}) {
        QVERIFY(writeTreeFile(source, QStringLiteral("data/") + versions.name, versions.fresh));
        arguments << "--gzip" << QStringLiteral("data/") + versions.name;
        files.append({versions, {}, {}});
    }
    const QString complaint = publishRelease(source, release.filePath(QStringLiteral("mirror")),
                                             Section, Version, arguments);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    QFile side(release.filePath(QStringLiteral("mirror/7/") + Section + QLatin1String(".hashes")));
    QVERIFY(side.open(QIODevice::ReadOnly));
    QHash<QString, SideFile::FileLines> wanted;
    for (const Published &file : std::as_const(files))
        wanted.insert(SideFile::pathOf(Section, file.versions.filePath()), {});
    SideFile::lookUpFileLines(&side, &wanted);
    for (Published &file : files) {
        file.stored = readAll(release.filePath(QStringLiteral("mirror/") + file.versions.served()));
        file.lines = wanted.value(SideFile::pathOf(Section, file.versions.filePath()));
        QVERIFY(!file.lines.blocks.isEmpty() && !file.lines.points.isEmpty());
        QCOMPARE(file.lines.unpackedSha256, Sha256::hash(file.versions.fresh));
    }
}

void TestPackedDelta::prepare(const Published &file)
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    manager = std::make_unique<QNetworkAccessManager>();
    prepareForLoopback(*manager);
    configuration.tempDir = work->filePath(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(configuration.tempDir + QLatin1String("/data")));
    configuration.streams = 2;
    // Left by another session: never to be taken for this one's.
    QVERIFY(writeFile(configuration.tempDir + QLatin1Char('/') + file.versions.filePath()
                          + QLatin1String(FileDownloadSpecification::UnpackedSuffix),
                      "stale"));
    const QString installed = work->filePath(file.versions.name);
    QVERIFY(writeFile(installed, file.versions.old));

    FileDownloadSpecification record;
    record.section = Section;
    record.filePath = file.versions.filePath();
    record.md5 = md5Of(file.stored);
    record.size = quint64(file.stored.size());
    record.unpacked = true;
    record.sha256 = Sha256::hash(file.stored);
    record.installedPath = installed;
    record.blockLine = file.lines.blocks;
    record.pointsLine = file.lines.points;
    record.unpackedMd5 = md5Of(file.versions.fresh);
    record.unpackedSha256 = file.lines.unpackedSha256;
    downloads = {record};
}

void TestPackedDelta::unpackedContentIsPutTogether_data()
{
    QTest::addColumn<int>("file");
    QTest::addColumn<TestHttpMirror::Fault>("fault");
    QTest::addColumn<QByteArray>("pointsLine");
    QTest::addColumn<QString>("lesson");
    QTest::addColumn<bool>("whole");
    // The most the delta may fetch, as a share of the stored file.
    QTest::addColumn<double>("share");

    using F = TestHttpMirror::Fault;
    QTest::newRow("well-behaved") << 0 << F() << QByteArray() << QString() << false << 0.2;
    QTest::newRow("parts not asked for")
        << 0 << F::rangeAnswer(TestHttpMirror::RangeAnswer::SeveralShifted) << QByteArray()
        << "which was not asked for" << false << 0.2;
    // A byte in the stored bytes of the first change: they do not inflate, or not to the right
    // block. The only mirror is not asked for ranges again and sends the file whole.
    GzipAccessPoints points;
    BlockList blocks;
    QString path;
    QString problem;
    QVERIFY(GzipAccessPoints::fromLine(files.at(0).lines.points, &points, &path, &problem));
    QVERIFY(BlockList::fromLine(files.at(0).lines.blocks, &blocks, &path, &problem));
    const int changed = int(5000 / blocks.blockSize());
    QTest::newRow("damaged stored bytes")
        << 0 << F::corrupt(points.bitOffset(changed) / 8 + 10).times(1) << QByteArray()
        << QStringLiteral("block %1 from mirror M failed its check").arg(changed) << true << 1.0;
    QTest::newRow("damaged access points")
        << 0 << F() << QByteArray("points 1 3 AAAA client_linux_amd64/data/big.txt.gz")
        << "fetching the whole file (its block list is unusable" << true << 1.0;
    // Each range but the first is inflated after blocks fetched by an earlier request or by
    // an earlier part of the same one; only the changed blocks' stored bytes travel.
    QTest::newRow("changes closer than the window")
        << 1 << F() << QByteArray() << QString() << false << 0.25;
    // Such a mirror is asked for gaps of a few blocks in the file as well (SingleRangeMergeGap).
    QTest::newRow("changes closer than the window, one range a request")
        << 1 << F::rangeAnswer(TestHttpMirror::RangeAnswer::SeveralNotImplemented) << QByteArray()
        << "asking it for one at a time" << false << 0.5;
}

void TestPackedDelta::unpackedContentIsPutTogether()
{
    QFETCH(int, file);
    QFETCH(TestHttpMirror::Fault, fault);
    QFETCH(QByteArray, pointsLine);
    QFETCH(QString, lesson);
    QFETCH(bool, whole);
    QFETCH(double, share);

    const Published &published = files.at(file);
    prepare(published);
    if (!pointsLine.isEmpty())
        downloads[0].pointsLine = pointsLine;
    const QString served = published.versions.served();
    TestHttpMirror server;
    server.setContent(served, published.stored);
    server.setFault(served, fault);
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

    const QString download = configuration.tempDir + QLatin1Char('/') + downloads[0].filePath;
    const QString unpacked = download + QLatin1String(FileDownloadSpecification::UnpackedSuffix);
    if (whole) {
        // The stored file, to be unpacked as any; no unpacked content beside it.
        QCOMPARE(readAll(download), published.stored);
        QVERIFY(!QFileInfo::exists(unpacked));
        return;
    }
    QVERIFY2(log.filter("fetching the whole file").isEmpty(), qPrintable(log.join('\n')));
    QCOMPARE(Sha256::hash(readAll(unpacked)), Sha256::hash(published.versions.fresh));
    QVERIFY(!QFileInfo::exists(download));
    QCOMPARE(log.filter("reused from the installed file").size(), 1);
    // The changes' blocks, compressed: a small part of the stored file.
    QVERIFY2(server.totalBodyBytesSent() < qint64(double(published.stored.size()) * share),
             qPrintable(QStringLiteral("%1 of %2")
                            .arg(server.totalBodyBytesSent())
                            .arg(published.stored.size())));
}

QTEST_MAIN(TestPackedDelta)
#include "tst_packeddelta.moc"
