#include "download/blockreceiver.h"
#include "download/missingblocks.h"
#include "fileops/sessionfile.h"
#include "testsupport.h"

#include <QBuffer>
#include <QTest>

namespace {

constexpr qint64 Block = 1024;
using Ranges = QList<QPair<qint64, qint64>>;

// Ranges in blocks, for rows that read as the file does.
Ranges blocks(const QList<QPair<int, int>> &firstAndCount)
{
    Ranges ranges;
    for (const auto &[first, count] : firstAndCount)
        ranges.append({first * Block, count * Block});
    return ranges;
}

} // namespace

// Which missing blocks of a new file the next request asks for: joined, spread over requests,
// and for a file inflated from access points, never one whose bytes before are not in the file.
class TestMissingBlocks : public QObject
{
    Q_OBJECT

private slots:
    void takesRanges_data();
    void takesRanges();
};

void TestMissingBlocks::takesRanges_data()
{
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<qint64>("dictionary");
    QTest::addColumn<int>("maxRanges");
    QTest::addColumn<qint64>("mergeGap");
    QTest::addColumn<int>("requests");
    // Two takes one after the other, the first still asked for during the second.
    QTest::addColumn<Ranges>("first");
    QTest::addColumn<Ranges>("second");

    // Twelve blocks; the missing ones are those not listed.
    const QList<int> twoGaps {0, 1, 4, 5, 6, 8, 9, 10, 11};
    QTest::newRow("neighbours in one range")
        << twoGaps << qint64(0) << 64 << qint64(0) << 1 << blocks({{2, 2}, {7, 1}}) << Ranges();
    QTest::newRow("gap of blocks in the file joined")
        << twoGaps << qint64(0) << 64 << 3 * Block << 1 << blocks({{2, 6}}) << Ranges();
    QTest::newRow("one range a request")
        << twoGaps << qint64(0) << 1 << qint64(0) << 1 << blocks({{2, 2}}) << blocks({{7, 1}});
    // Four missing blocks over four requests: a block each.
    const QList<int> fourInARow {0, 1, 6, 7, 8, 9, 10, 11};
    QTest::newRow("spread over requests")
        << fourInARow << qint64(0) << 64 << qint64(0) << 4 << blocks({{2, 1}}) << blocks({{3, 1}});
    // Inflated after the 2 KiB before: the next blocks wait while the first is asked for.
    QTest::newRow("dictionary of asked blocks")
        << fourInARow << 2 * Block << 64 << qint64(0) << 4 << blocks({{2, 1}}) << Ranges();
    QTest::newRow("dictionary in the file")
        << QList<int> {0, 1, 3, 4, 5, 6, 7, 8, 9, 10} << 2 * Block << 1 << qint64(0) << 1
        << blocks({{2, 1}}) << blocks({{11, 1}});
    // Block 4 is inflated after blocks 2 and 3: behind block 2 in the same answer, or once a
    // request for it has brought it; never with block 3 fetched again.
    const QList<int> closer {0, 1, 3, 5, 6, 7, 8, 9, 10, 11};
    QTest::newRow("closer than the dictionary: later in one request")
        << closer << 2 * Block << 64 << qint64(0) << 1 << blocks({{2, 1}, {4, 1}}) << Ranges();
    QTest::newRow("closer than the dictionary: waits for the other request")
        << closer << 2 * Block << 1 << qint64(0) << 1 << blocks({{2, 1}}) << Ranges();
}

void TestMissingBlocks::takesRanges()
{
    QFETCH(QList<int>, present);
    QFETCH(qint64, dictionary);
    QFETCH(int, maxRanges);
    QFETCH(qint64, mergeGap);
    QFETCH(int, requests);
    QFETCH(Ranges, first);
    QFETCH(Ranges, second);

    QByteArray content = randomBytes(1, 12 * Block);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    BlockList list;
    QString problem;
    QVERIFY(BlockList::build(&buffer, Block, &list, &problem));
    SessionFile unused(QStringLiteral("unused"));
    BlockReceiver receiver(list, &unused);
    for (const int block : present)
        receiver.markPresent(block);
    MissingBlocks missing(list, &receiver);
    missing.setDictionarySize(dictionary);

    QCOMPARE(missing.take(maxRanges, mergeGap, 0, requests), first);
    QCOMPARE(missing.take(maxRanges, mergeGap, 0, requests), second);
    // Given back, the first ones are asked for again.
    missing.giveBack(first);
    QCOMPARE(missing.take(maxRanges, mergeGap, 0, requests), first);
}

QTEST_GUILESS_MAIN(TestMissingBlocks)
#include "tst_missingblocks.moc"
