#include "download/blockreceiver.h"
#include "download/packedranges.h"
#include "fileops/sessionfile.h"
#include "manifest/blockmatcher.h"
#include "manifest/sidefile.h"
#include "testsupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// The block size of a file this small stored compressed (BlockList::packedBlockSizeFor()).
constexpr qint64 Block = 2048;
const QString Type = QStringLiteral("client_linux_amd64");
const QString FilePath = QStringLiteral("data/text.txt.gz");
using Ranges = QList<QPair<qint64, qint64>>;
using BlockSpans = QList<QPair<int, int>>;

QByteArray textLike(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QByteArray text;
    while (text.size() < size)
        text += QByteArray::number(generator.bounded(4000), 36)
            + (generator.bounded(9) ? " " : "\n");
    return text.left(size);
}

// Forty blocks of text, but block 10 all one letter: its stored bytes are a few dozen.
QByteArray newContent()
{
    QByteArray content = textLike(1, 40 * Block);
    content.replace(10 * Block, Block, QByteArray(Block, 'a'));
    return content;
}

// The installed version, which lacks @p missing blocks.
QByteArray oldContent(const QByteArray &fresh, const QList<int> &missing)
{
    QByteArray content = fresh;
    for (const int block : missing)
        content.replace(block * Block + 100, 50, textLike(quint32(block), 50));
    return content;
}

} // namespace

// The stored bytes a request of a gzip-stored file asks for, and the parts of its answer
// inflated after the bytes before them: those of earlier parts of the same answer count once
// they are in the file, and a part whose bytes before are not is skipped, never inflated wrong.
class TestPackedRanges : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void partsAreInflatedAfterTheirBytesBefore_data();
    void partsAreInflatedAfterTheirBytesBefore();

private:
    QTemporaryDir dir;
    QByteArray fresh;
    QByteArray stored;
    BlockList list;
    GzipAccessPoints points;
};

void TestPackedRanges::initTestCase()
{
    fresh = newContent();
    QVERIFY(writeTreeFile(dir.filePath(QStringLiteral("source")), QStringLiteral("data/text.txt"),
                          fresh));
    const QString complaint = publishRelease(
        dir.filePath(QStringLiteral("source")), dir.filePath(QStringLiteral("mirror")), Type, 1,
        {"--gzip", "data/text.txt", "--block-lists-from", "1"});
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    stored
        = readAll(dir.filePath(QStringLiteral("mirror/1/") + Type + QLatin1Char('/') + FilePath));
    QFile side(dir.filePath(QStringLiteral("mirror/1/") + Type + QLatin1String(".hashes")));
    QVERIFY(side.open(QIODevice::ReadOnly));
    QHash<QString, SideFile::FileLines> wanted {{SideFile::pathOf(Type, FilePath), {}}};
    SideFile::lookUpFileLines(&side, &wanted);
    const SideFile::FileLines lines = wanted.value(SideFile::pathOf(Type, FilePath));
    QString path;
    QString problem;
    QVERIFY2(BlockList::fromLine(lines.blocks, &list, &path, &problem), qPrintable(problem));
    QVERIFY2(GzipAccessPoints::fromLine(lines.points, &points, &path, &problem),
             qPrintable(problem));
    QCOMPARE(list.blockSize(), Block);
    QVERIFY(points.bitOffset(11) / 8 - (points.bitOffset(10) + 7) / 8
            < PackedRanges::PartHeaderBytes);
}

void TestPackedRanges::partsAreInflatedAfterTheirBytesBefore_data()
{
    QTest::addColumn<QList<int>>("missing");
    // Stored ranges asked for, as first and last block.
    QTest::addColumn<BlockSpans>("asked");
    // The order in which the answer's parts come, by index of the stored range; empty for one
    // part from the first range's start to the last one's end, as a mirror joins them.
    QTest::addColumn<QList<int>>("order");
    QTest::addColumn<QList<int>>("received");

    // Each missing block lies within the 32 KiB before the next.
    QTest::newRow("in order, the close ones asked for as one")
        << QList<int> {5, 7, 9, 11} << BlockSpans {{5, 5}, {7, 7}, {9, 11}} << QList<int> {0, 1, 2}
        << QList<int> {5, 7, 9, 11};
    QTest::newRow("one part joining the ranges")
        << QList<int> {5, 7, 9, 11} << BlockSpans {{5, 5}, {7, 7}, {9, 11}} << QList<int>()
        << QList<int> {5, 7, 9, 11};
    QTest::newRow("a later part first")
        << QList<int> {5, 7} << BlockSpans {{5, 5}, {7, 7}} << QList<int> {1, 0} << QList<int> {5};
    QTest::newRow("an earlier part left out")
        << QList<int> {5, 7} << BlockSpans {{5, 5}, {7, 7}} << QList<int> {1} << QList<int>();
}

void TestPackedRanges::partsAreInflatedAfterTheirBytesBefore()
{
    QFETCH(QList<int>, missing);
    QFETCH(BlockSpans, asked);
    QFETCH(QList<int>, order);
    QFETCH(QList<int>, received);

    QTemporaryDir work;
    const QString installed = work.filePath(QStringLiteral("installed"));
    QVERIFY(writeFile(installed, oldContent(fresh, missing)));
    const int installedFd = SessionFile::openReadOnly(installed);
    QVERIFY(installedFd >= 0);
    const auto closeInstalled = qScopeGuard([installedFd] { ::close(installedFd); });
    BlockMatcher matcher(list);
    QString problem;
    QVERIFY2(matcher.scan(installedFd, &problem), qPrintable(problem));
    SessionFile output(work.filePath(QStringLiteral("new")));
    QVERIFY(output.create());
    QVERIFY(::ftruncate(output.handle(), off_t(list.fileSize())) == 0);
    BlockReceiver receiver(list, &output);
    for (int block = 0; block < list.count(); ++block) {
        if (matcher.oldOffsetOf(block) != BlockMatcher::Missing)
            receiver.markPresent(block);
    }
    QCOMPARE(receiver.missingCount(), missing.size());

    PackedRanges packed(list, points, stored.size(), &matcher, &receiver);
    Ranges unpacked;
    for (const int block : std::as_const(missing))
        unpacked.append({block * Block, Block});
    Ranges storedRanges;
    QList<PackedRangeSink::Range> parts;
    packed.plan(unpacked, &storedRanges, &parts);
    Ranges expected;
    for (const auto &[first, last] : std::as_const(asked)) {
        const qint64 start = points.bitOffset(first) / 8;
        expected.append({start, (points.bitOffset(last + 1) + 7) / 8 - start});
    }
    QCOMPARE(storedRanges, expected);
    QCOMPARE(parts.size(), asked.size());

    PackedRangeSink sink(&receiver, parts, [&](qint64 offset, QByteArray *bytes, QString *why) {
        return packed.readDictionary(offset, installedFd, output.handle(), bytes, why);
    });
    Ranges answer;
    for (const int part : std::as_const(order))
        answer.append(storedRanges.at(part));
    if (order.isEmpty()) {
        const qint64 end = storedRanges.last().first + storedRanges.last().second;
        answer.append({storedRanges.first().first, end - storedRanges.first().first});
    }
    for (const auto &[offset, length] : std::as_const(answer)) {
        QVERIFY(sink.begin(offset));
        // In pieces, as an answer arrives.
        for (qint64 at = offset; at < offset + length; at += 1000) {
            const RangeSink::Result result = sink.take(
                QByteArrayView(stored).sliced(at, qMin(qint64(1000), offset + length - at)));
            QVERIFY2(result == RangeSink::Taken, qPrintable(sink.problem()));
        }
    }
    QCOMPARE(sink.complete(), received == missing);
    const QByteArray written = readAll(output.fileName());
    for (const int block : std::as_const(missing)) {
        QCOMPARE(receiver.has(block), received.contains(block));
        if (received.contains(block))
            QVERIFY(written.mid(block * Block, Block) == fresh.mid(block * Block, Block));
    }
}

QTEST_GUILESS_MAIN(TestPackedRanges)
#include "tst_packedranges.moc"
