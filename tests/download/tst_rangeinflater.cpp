#include "download/gzipbody.h"
#include "download/rangeinflater.h"
#include "manifest/blocklist.h"
#include "manifest/gzipaccesspoints.h"
#include "manifest/sha256.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Type = QStringLiteral("client_linux_amd64");
const QString SidePath = QStringLiteral("client_linux_amd64/data/big.txt.gz");

// Lines of words from a small vocabulary: compresses about 2:1, and deflate's matches reach
// back across block boundaries, as in real text.
QByteArray textLike(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QList<QByteArray> words;
    for (int i = 0; i < 3000; ++i) {
        QByteArray word;
        for (int length = 2 + generator.bounded(8); length > 0; --length)
            word += char('a' + generator.bounded(26));
        words.append(word);
    }
    QByteArray text;
    while (text.size() < size)
        text += words.at(generator.bounded(words.size())) + (generator.bounded(10) ? " " : "\n");
    return text.left(size);
}

// The line of the side file that begins with @p kind for the packed file.
QByteArray sideLine(const QByteArray &sideFile, const QByteArray &kind)
{
    for (const QByteArray &line : sideFile.split('\n')) {
        if (line.startsWith(kind + ' ') && line.endsWith(' ' + SidePath.toUtf8()))
            return line;
    }
    return QByteArray();
}

// Inflates @p length bytes from the access point at @p bitOffset of @p stored, after
// @p before, feeding the stored bytes in pieces of @p piece.
QByteArray inflateFrom(const QByteArray &stored, qint64 bitOffset, const QByteArray &before,
                       qint64 length, qsizetype piece, QString *problem)
{
    QByteArray result;
    RangeInflater inflater;
    const qsizetype first = qsizetype(bitOffset / 8);
    const int skip = int(bitOffset % 8);
    if (!inflater.start(stored.at(first), skip, before, length, [&result](QByteArrayView bytes) {
            result += bytes;
            return true;
        })) {
        *problem = inflater.error();
        return result;
    }
    for (qsizetype at = first + (skip > 0 ? 1 : 0); at < stored.size() && !inflater.isComplete();
         at += piece) {
        if (!inflater.feed(QByteArrayView(stored).sliced(at, qMin(piece, stored.size() - at)))) {
            *problem = inflater.error();
            return result;
        }
    }
    return result;
}

} // namespace

// The publisher's access points in gzip-stored files, taken up by the client's inflater: any
// block of the unpacked content inflates from the stored bytes at its point on, given the
// content before it, while the stored file stays a plain gzip file barely larger than one
// compressed without points.
class TestRangeInflater : public QObject
{
    Q_OBJECT

private slots:
    void everyPointInflatesAlone_data();
    void everyPointInflatesAlone();
    void damagedBytesAreRefused();
    void gzipBodyStaysWithinItsBound_data();
    void gzipBodyStaysWithinItsBound();
};

void TestRangeInflater::everyPointInflatesAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("listFrom");

    QTest::newRow("text-like, many blocks") << textLike(1, 600000) << qint64(60000);
    QTest::newRow("random, stored blocks") << randomBytes(2, 300000) << qint64(60000);
    QTest::newRow("one short block") << textLike(3, 3000) << qint64(1);
    QTest::newRow("a multiple of the block size") << textLike(4, 4 * 4096) << qint64(1);
}

void TestRangeInflater::everyPointInflatesAlone()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, listFrom);

    QTemporaryDir source;
    QTemporaryDir mirror;
    QVERIFY(writeTreeFile(source.path(), QStringLiteral("data/big.txt"), content));
    const QString complaint = publishRelease(
        source.path(), mirror.path(), Type, 1,
        {"--gzip", "data/big.txt", "--block-lists-from", QString::number(listFrom)});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    const QByteArray sideFile
        = readAll(mirror.filePath(QStringLiteral("1/") + Type + QLatin1String(".hashes")));
    const QByteArray stored
        = readAll(mirror.filePath(QStringLiteral("1/") + Type + QLatin1String("/data/big.txt.gz")));

    // The list and the digest describe the unpacked content.
    BlockList blocks;
    GzipAccessPoints points;
    QString path;
    QString problem;
    QVERIFY2(BlockList::fromLine(sideLine(sideFile, "blocks"), &blocks, &path, &problem),
             qPrintable(problem));
    QVERIFY2(GzipAccessPoints::fromLine(sideLine(sideFile, "points"), &points, &path, &problem),
             qPrintable(problem));
    QCOMPARE(path, SidePath);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    BlockList expected;
    QVERIFY(BlockList::build(&buffer, BlockList::packedBlockSizeFor(content.size()), &expected,
                             &problem));
    QVERIFY(blocks == expected);
    QCOMPARE(points.count(),
             (blocks.count() + points.blocksPerPoint() - 1) / points.blocksPerPoint());
    QCOMPARE(sideLine(sideFile, "sha256-unpacked").split(' ').value(1),
             Sha256::hash(content).toHex());
    // Within 1.05 times what zlib makes of it without points.
    QVERIFY2(stored.size() <= qCompress(content, 9).size() * 105 / 100 + 32,
             qPrintable(QStringLiteral("%1 stored, %2 without points")
                            .arg(stored.size())
                            .arg(qCompress(content, 9).size())));

    // From the first point the whole file, as the unpacking of the whole gzip file gives it.
    QCOMPARE(
        inflateFrom(stored, points.bitOffset(0), QByteArray(), content.size(), 65536, &problem),
        content);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // From any point its blocks alone, fed a few bytes at a time.
    const qint64 span = blocks.blockSize() * points.blocksPerPoint();
    for (const int point : {points.count() / 2, points.count() - 1, 1}) {
        if (point >= points.count())
            continue;
        const qint64 offset = point * span;
        const qint64 length = qMin(span, content.size() - offset);
        const QByteArray inflated = inflateFrom(stored, points.bitOffset(point),
                                                content.left(offset), length, 97, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY2(inflated == content.mid(offset, length), qPrintable(QString::number(point)));
    }
}

void TestRangeInflater::damagedBytesAreRefused()
{
    RangeInflater inflater;
    QVERIFY(inflater.start(0, 0, QByteArray(), 1000, [](QByteArrayView) { return true; }));
    // Block type 3 does not exist.
    QVERIFY(!inflater.feed(QByteArray("\xff\xff\xff\xff", 4)));
    QVERIFY(!inflater.error().isEmpty());
    QVERIFY(!inflater.isComplete());
}

void TestRangeInflater::gzipBodyStaysWithinItsBound_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("bound");
    QTest::addColumn<QByteArray>("plain"); // null: refused
    QTest::addColumn<bool>("complete");

    const QByteArray text = textLike(5, 300000);
    const QByteArray packed = gzipped(text);
    QTest::newRow("whole") << packed << qint64(text.size()) << text << true;
    QTest::newRow("cut short") << packed.chopped(100) << qint64(text.size())
                               << text.left(0) /* checked as a prefix */ << false;
    // A few KB that would inflate to 64 MB: refused at the bound, with no more than the bound
    // handed on.
    QTest::newRow("bomb") << gzipped(QByteArray(64 << 20, '\0')) << qint64(text.size())
                          << QByteArray() << false;
    QTest::newRow("one byte over the bound")
        << packed << qint64(text.size() - 1) << QByteArray() << false;
    QTest::newRow("bytes after the trailer")
        << packed + "x" << qint64(text.size()) << QByteArray() << true;
    QTest::newRow("no gzip data") << text << qint64(text.size()) << QByteArray() << false;
}

void TestRangeInflater::gzipBodyStaysWithinItsBound()
{
    QFETCH(QByteArray, body);
    QFETCH(qint64, bound);
    QFETCH(QByteArray, plain);
    QFETCH(bool, complete);

    GzipBody gzip;
    gzip.start(bound);
    QByteArray out;
    qsizetype largestPiece = 0;
    bool ok = true;
    // In pieces of odd sizes, as a network hands them over.
    for (qsizetype at = 0; ok && at < body.size(); at += 7777) {
        ok = gzip.feed(QByteArrayView(body).sliced(at, qMin<qsizetype>(7777, body.size() - at)),
                       [&](QByteArrayView bytes) {
                           largestPiece = qMax(largestPiece, bytes.size());
                           out += bytes;
                           return true;
                       });
    }
    QVERIFY(out.size() <= bound);
    QCOMPARE(gzip.inflated(), qint64(out.size()));
    QVERIFY(largestPiece <= GzipBody::OutputPiece);
    QCOMPARE(gzip.isComplete(), complete);
    if (plain.isNull()) {
        QVERIFY(!ok);
        QVERIFY(!gzip.error().isEmpty());
        return;
    }
    QVERIFY2(ok, qPrintable(gzip.error()));
    if (complete)
        QCOMPARE(out, plain);
    else
        QVERIFY(textLike(5, 300000).startsWith(out));
}

QTEST_GUILESS_MAIN(TestRangeInflater)
#include "tst_rangeinflater.moc"
