#include "manifest/blocklist.h"
#include "manifest/blockmatcher.h"
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using Ranges = QList<QPair<qint64, qint64>>;

// Block lists and the matcher: edits anywhere must leave every unchanged block reused and the
// file put together from old blocks and fetched ranges equal to the new content; lines must read
// back as written and malformed ones be refused; an old file that changes must not be copied.
class TestBlockMatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void newFileIsPutTogether_data();
    void newFileIsPutTogether();
    void missingRangesAreJoined_data();
    void missingRangesAreJoined();
    void changedOldFileIsNotCopied_data();
    void changedOldFileIsNotCopied();

    void blockSizeKeepsListSmall_data();
    void blockSizeKeepsListSmall();
    void lineReadsBack_data();
    void lineReadsBack();
    void malformedLineIsRefused_data();
    void malformedLineIsRefused();
    void provenUpToStopsAtTheFirstWrongBlock_data();
    void provenUpToStopsAtTheFirstWrongBlock();

private:
    // Writes content to a file of the temporary directory and opens it for reading and writing.
    int openWith(const QString &name, const QByteArray &content);
    BlockList listOf(const QByteArray &content);

    std::unique_ptr<QTemporaryDir> dir;
    QList<int> fds;
};

namespace {

constexpr qint64 Block = 1024;

QByteArray contentOf(int fd)
{
    QByteArray content(lseek(fd, 0, SEEK_END), Qt::Uninitialized);
    if (pread(fd, content.data(), size_t(content.size()), 0) != content.size())
        return "<unreadable>";
    return content;
}

// Not a multiple of the block size: most files end with a shorter block.
const QByteArray Base = randomBytes(1, 80000);
const QByteArray Inserted = randomBytes(2, 300);

} // namespace

void TestBlockMatcher::init()
{
    for (const int fd : qAsConst(fds))
        close(fd);
    fds.clear();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

int TestBlockMatcher::openWith(const QString &name, const QByteArray &content)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return -1;
    file.close();
    const int fd = open(QFile::encodeName(path).constData(), O_RDWR);
    fds.append(fd);
    return fd;
}

BlockList TestBlockMatcher::listOf(const QByteArray &content)
{
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    BlockList list;
    QString problem;
    if (!BlockList::build(&buffer, Block, &list, &problem))
        qWarning("cannot build the block list: %s", qPrintable(problem));
    return list;
}

void TestBlockMatcher::newFileIsPutTogether_data()
{
    QTest::addColumn<QByteArray>("oldContent");
    QTest::addColumn<QByteArray>("newContent");
    QTest::addColumn<qint64>("reusedAtLeast");
    QTest::addColumn<qint64>("reusedAtMost");
    // Whether a sparse index finds as much: not where lone blocks moved.
    QTest::addColumn<bool>("sparseAsDense");

    // An edit costs the blocks it touches: at most its own bytes and a block on either side.
    const qint64 size = Base.size();
    const qint64 inserted = Inserted.size();
    QTest::newRow("identical") << Base << Base << size << size << true;
    QTest::newRow("inserted at the start")
        << Base << Inserted + Base << size - 2 * Block << size << true;
    QTest::newRow("inserted in the middle") << Base << Base.left(40000) + Inserted + Base.mid(40000)
                                            << size - 2 * Block << size << true;
    QTest::newRow("inserted at the end")
        << Base << Base + Inserted << size - 2 * Block << size << true;
    QTest::newRow("deleted at the start")
        << Base << Base.mid(300) << size - 300 - 2 * Block << size - 300 << true;
    QTest::newRow("deleted in the middle") << Base << QByteArray(Base).remove(40000, 300)
                                           << size - 300 - 2 * Block << size - 300 << true;
    QTest::newRow("deleted at the end")
        << Base << Base.chopped(300) << size - 300 - 2 * Block << size - 300 << true;
    QTest::newRow("overwritten in the middle")
        << Base << QByteArray(Base).replace(30000, inserted, Inserted)
        << size - inserted - 2 * Block << size - inserted << true;
    QTest::newRow("edited in three places")
        << Base
        << Inserted + QByteArray(Base).remove(60000, 5000).insert(20000, Inserted).chopped(10)
        << size - 5010 - 6 * Block << size - 5010 << true;
    QTest::newRow("shrank a lot") << Base << Base.mid(20000, 10000) << qint64(10000)
                                  << qint64(10000) << true;
    const QByteArray grown = randomBytes(3, 100000) + Base + randomBytes(4, 50000);
    QTest::newRow("grew a lot") << Base << grown << size - 2 * Block << size << true;
    QTest::newRow("totally different")
        << Base << randomBytes(5, 80000) << qint64(0) << qint64(0) << true;
    // The block at 5 KiB stands for twenty blocks of the new file; the old file's repeated
    // block serves all its copies.
    const QByteArray repeated = Base.mid(5 * Block, Block).repeated(20);
    QTest::newRow("block repeated in the new file")
        << Base << repeated + Base.left(10000) << qint64(30480) << qint64(30480) << false;
    QTest::newRow("block repeated in the old file")
        << repeated + Base << Base.mid(5 * Block, Block).repeated(3) + Inserted << 3 * Block
        << 3 * Block << false;
    QTest::newRow("only the last short block changed")
        << Base << Base.chopped(100) + Inserted.left(100) << size - size % Block
        << size - size % Block << true;
    QTest::newRow("less than a block, at the start")
        << Base << Base.left(500) << qint64(500) << qint64(500) << true;
    QTest::newRow("less than a block, at the end")
        << Base << Base.right(500) << qint64(500) << qint64(500) << true;
    QTest::newRow("old file empty") << QByteArray() << Base << qint64(0) << qint64(0) << true;
    QTest::newRow("old file shorter than a block")
        << Base.left(900) << Base << qint64(0) << qint64(0) << true;
    QTest::newRow("new file empty") << Base << QByteArray() << qint64(0) << qint64(0) << true;
}

void TestBlockMatcher::newFileIsPutTogether()
{
    QFETCH(QByteArray, oldContent);
    QFETCH(QByteArray, newContent);
    QFETCH(qint64, reusedAtLeast);
    QFETCH(qint64, reusedAtMost);
    QFETCH(bool, sparseAsDense);

    const BlockList list = listOf(newContent);
    QCOMPARE(list.fileSize(), newContent.size());
    const int oldFd = openWith(QStringLiteral("old"), oldContent);
    QVERIFY(oldFd >= 0);
    // The smallest window makes the scan refill it at every step; an index of four blocks
    // makes every sixteenth block of the 78 an anchor.
    const QList<QPair<qsizetype, int>> setups {{BlockMatcher::DefaultWindowSize, 65536},
                                               {qsizetype(0), 65536},
                                               {BlockMatcher::DefaultWindowSize, 4},
                                               {qsizetype(0), 4}};
    for (const auto &[windowSize, maxIndexed] : setups) {
        BlockMatcher matcher(list, windowSize, maxIndexed);
        QString problem;
        QVERIFY2(matcher.scan(oldFd, &problem), qPrintable(problem));
        if (maxIndexed > 4 || sparseAsDense)
            QVERIFY2(matcher.reusedBytes() >= reusedAtLeast
                         && matcher.reusedBytes() <= reusedAtMost,
                     qPrintable(QStringLiteral("%1 with an index of %2")
                                    .arg(matcher.reusedBytes())
                                    .arg(maxIndexed)));

        qint64 matched = 0;
        const QList<QPair<int, qint64>> blocks = matcher.matchedBlocks();
        for (const auto &[index, offset] : blocks) {
            const qint64 length = list.lengthOf(index);
            QCOMPARE(oldContent.mid(offset, length), newContent.mid(list.offsetOf(index), length));
            matched += length;
        }
        QCOMPARE(matched, matcher.reusedBytes());
        qint64 missing = 0;
        for (const auto &range : matcher.missingRanges(0))
            missing += range.second;
        QCOMPARE(missing, newContent.size() - matcher.reusedBytes());

        // Joined ranges fetch some found blocks again, which must change nothing.
        const int outputFd = openWith(QStringLiteral("new"), randomBytes(6, 200000));
        QVERIFY(outputFd >= 0);
        QVERIFY2(matcher.assemble(oldFd, outputFd, &problem), qPrintable(problem));
        for (const auto &[offset, length] : matcher.missingRanges(2 * Block)) {
            QCOMPARE(pwrite(outputFd, newContent.constData() + offset, size_t(length), offset),
                     ssize_t(length));
        }
        QVERIFY(contentOf(outputFd) == newContent);
    }
}

void TestBlockMatcher::missingRangesAreJoined_data()
{
    QTest::addColumn<qint64>("mergeGap");
    QTest::addColumn<Ranges>("expected");

    // Blocks 1, 3, 4 and 9 of twelve changed.
    QTest::newRow("no gap") << qint64(0)
                            << Ranges {{Block, Block}, {3 * Block, 2 * Block}, {9 * Block, Block}};
    QTest::newRow("one block") << Block << Ranges {{Block, 4 * Block}, {9 * Block, Block}};
    QTest::newRow("four blocks") << 4 * Block << Ranges {{Block, 9 * Block}};
}

void TestBlockMatcher::missingRangesAreJoined()
{
    QFETCH(qint64, mergeGap);
    QFETCH(Ranges, expected);

    const QByteArray oldContent = Base.left(12 * Block);
    QByteArray newContent = oldContent;
    for (const int changed : {1, 3, 4, 9})
        newContent[changed * Block + 7] = char(~newContent.at(changed * Block + 7));
    BlockMatcher matcher(listOf(newContent));
    QString problem;
    QVERIFY2(matcher.scan(openWith(QStringLiteral("old"), oldContent), &problem),
             qPrintable(problem));
    QCOMPARE(matcher.missingRanges(mergeGap), expected);
}

void TestBlockMatcher::changedOldFileIsNotCopied_data()
{
    QTest::addColumn<qint64>("cutTo");
    QTest::addColumn<qint64>("changedAt");
    QTest::addColumn<QString>("reason");

    QTest::newRow("cut short") << qint64(30000) << qint64(-1) << QStringLiteral("ends at 30000");
    QTest::newRow("byte changed") << qint64(-1) << qint64(50000)
                                  << QStringLiteral("no longer holds block 48 at 49152");
}

void TestBlockMatcher::changedOldFileIsNotCopied()
{
    QFETCH(qint64, cutTo);
    QFETCH(qint64, changedAt);
    QFETCH(QString, reason);

    const int oldFd = openWith(QStringLiteral("old"), Base);
    BlockMatcher matcher(listOf(Base));
    QString problem;
    QVERIFY2(matcher.scan(oldFd, &problem), qPrintable(problem));
    if (cutTo >= 0)
        QCOMPARE(ftruncate(oldFd, cutTo), 0);
    if (changedAt >= 0)
        QCOMPARE(pwrite(oldFd, "?", 1, changedAt), ssize_t(1));
    QVERIFY(!matcher.assemble(oldFd, openWith(QStringLiteral("new"), QByteArray()), &problem));
    QVERIFY2(problem.contains(reason), qPrintable(problem));

    // Nor is a file that cannot be read taken for one without the blocks.
    const int writeOnly
        = open(QFile::encodeName(dir->filePath(QStringLiteral("old"))).constData(), O_WRONLY);
    fds.append(writeOnly);
    QVERIFY(!matcher.scan(writeOnly, &problem));
    QVERIFY2(problem.startsWith(QStringLiteral("cannot read at 0")), qPrintable(problem));
    QVERIFY(matcher.matchedBlocks().isEmpty());
}

void TestBlockMatcher::blockSizeKeepsListSmall_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("blockSize");

    constexpr qint64 MiB = 1024 * 1024;
    QTest::newRow("empty") << qint64(0) << qint64(1024);
    QTest::newRow("1 MiB") << MiB << qint64(1024);
    QTest::newRow("8 MiB less a byte") << 8 * MiB - 1 << qint64(1024);
    QTest::newRow("8 MiB") << 8 * MiB << qint64(2048);
    QTest::newRow("100 MiB less a byte: 51200 blocks") << 100 * MiB - 1 << qint64(2048);
    QTest::newRow("100 MiB") << 100 * MiB << qint64(4096);
    QTest::newRow("2 GiB: 524288 blocks") << 2048 * MiB << qint64(4096);
    QTest::newRow("a byte more") << 2048 * MiB + 1 << qint64(8192);
    QTest::newRow("16 GiB") << 16384 * MiB << qint64(32768);
    QTest::newRow("1 TiB") << 1024 * 1024 * MiB << qint64(65536);
}

void TestBlockMatcher::blockSizeKeepsListSmall()
{
    QFETCH(qint64, fileSize);
    QFETCH(qint64, blockSize);
    QCOMPARE(BlockList::blockSizeFor(fileSize), blockSize);
    // Blocks finer than 4 KiB are all indexed: the matcher finds each by its checksums.
    if (blockSize < 4096)
        QVERIFY((fileSize + blockSize - 1) / blockSize <= BlockMatcher::DefaultMaxIndexed);
}

void TestBlockMatcher::lineReadsBack_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("start");

    QTest::newRow("empty") << QByteArray() << QByteArray("blocks 1024 0 ");
    QTest::newRow("short block") << Base.left(10) << QByteArray("blocks 1024 10 ");
    QTest::newRow("many blocks") << Base << QByteArray("blocks 1024 80000 ");
}

void TestBlockMatcher::lineReadsBack()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, start);

    const BlockList list = listOf(content);
    const QString path = QStringLiteral("data/levels 2/größe.pak");
    const QByteArray line = list.toLine(path);
    QVERIFY2(line.startsWith(start), line.constData());
    QVERIFY(line.endsWith(' ' + path.toUtf8()));
    QCOMPARE(line.size(), start.size() + list.count() * 16 + 1 + path.toUtf8().size());

    BlockList read;
    QString readPath, problem;
    QVERIFY2(BlockList::fromLine(line, &read, &readPath, &problem), qPrintable(problem));
    QVERIFY(read == list);
    QCOMPARE(readPath, path);
}

void TestBlockMatcher::provenUpToStopsAtTheFirstWrongBlock_data()
{
    QTest::addColumn<QByteArray>("listed");
    QTest::addColumn<QByteArray>("held");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::addColumn<qint64>("proven");

    QByteArray wrong = Base;
    wrong[3000] = char(wrong.at(3000) ^ 1);
    // Longer than one read of the check, with the wrong block in a later one.
    const QByteArray large = randomBytes(3, 3 * 1024 * 1024 + 500);
    QByteArray wrongLater = large;
    wrongLater[2 * 1024 * 1024 + 10] = char(wrongLater.at(2 * 1024 * 1024 + 10) ^ 1);
    QTest::newRow("all, the short last block too")
        << Base << Base << qint64(0) << qint64(80000) << qint64(80000);
    QTest::newRow("cut short inside a block")
        << Base << Base << qint64(0) << qint64(5000) << qint64(4096);
    QTest::newRow("from a later block") << Base << Base << qint64(2048) << qint64(10240)
                                        << qint64(10240);
    QTest::newRow("from inside a block") << Base << Base << qint64(100) << qint64(5000)
                                         << qint64(100);
    QTest::newRow("a wrong block") << Base << wrong << qint64(0) << qint64(80000) << qint64(2048);
    QTest::newRow("a wrong block in a later read")
        << large << wrongLater << qint64(0) << qint64(large.size()) << qint64(2 * 1024 * 1024);
    QTest::newRow("the file ends early")
        << Base << Base.left(50000) << qint64(0) << qint64(80000) << qint64(49152);
    QTest::newRow("asked past the listed end")
        << Base << Base + "more" << qint64(0) << qint64(90000) << qint64(80000);
}

void TestBlockMatcher::provenUpToStopsAtTheFirstWrongBlock()
{
    QFETCH(QByteArray, listed);
    QFETCH(QByteArray, held);
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    QFETCH(qint64, proven);

    QBuffer file;
    file.setData(held);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(listOf(listed).provenUpTo(&file, from, to), proven);
}

void TestBlockMatcher::malformedLineIsRefused_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("reason");

    // Two blocks: 32 characters.
    const QByteArray data = listOf(Base.left(2000)).toLine(QStringLiteral("a/b")).split(' ').at(3);
    const QString fields = QStringLiteral("missing fields");
    const QString blockSize = QStringLiteral("block size");
    const QString fileSize = QStringLiteral("file size");
    const QString digits = QStringLiteral("characters for");
    const QString section = QStringLiteral("no section");
    QTest::newRow("sha256 line") << "sha256 " + data + " a/b" << QStringLiteral("not a block list");
    QTest::newRow("no path") << "blocks 1024 2000 " + data << fields;
    QTest::newRow("no data") << QByteArray("blocks 1024 2000") << fields;
    QTest::newRow("two blanks") << "blocks  1024 2000 " + data + " a/b" << blockSize;
    QTest::newRow("not a power of two") << "blocks 1000 2000 " + data + " a/b" << blockSize;
    QTest::newRow("block too small") << "blocks 512 2000 " + data + " a/b" << blockSize;
    QTest::newRow("block too large") << "blocks 2097152 2000 " + data + " a/b" << blockSize;
    QTest::newRow("leading zero") << "blocks 01024 2000 " + data + " a/b" << blockSize;
    QTest::newRow("signed size") << "blocks 1024 +2000 " + data + " a/b" << fileSize;
    QTest::newRow("size too large") << "blocks 1024 1000000000000000 " + data + " a/b" << fileSize;
    QTest::newRow("a block too many") << "blocks 1024 1000 " + data + " a/b" << digits;
    QTest::newRow("a block too few") << "blocks 1024 3000 " + data + " a/b" << digits;
    QTest::newRow("a character short") << "blocks 1024 2000 " + data.chopped(1) + " a/b" << digits;
    QTest::newRow("padded") << "blocks 1024 2000 " + data.chopped(1) + "= a/b"
                            << QStringLiteral("base64");
    QTest::newRow("url alphabet") << "blocks 1024 2000 " + data.chopped(1) + "_ a/b"
                                  << QStringLiteral("base64");
    QTest::newRow("no section") << "blocks 1024 2000 " + data + " ab" << section;
    QTest::newRow("empty section") << "blocks 1024 2000 " + data + " /b" << section;
    QTest::newRow("empty key") << "blocks 1024 2000 " + data + " a/" << section;
}

void TestBlockMatcher::malformedLineIsRefused()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, reason);

    BlockList list;
    QString path, problem;
    QVERIFY(!BlockList::fromLine(line, &list, &path, &problem));
    QVERIFY2(problem.contains(reason), qPrintable(problem));
}

QTEST_GUILESS_MAIN(TestBlockMatcher)
#include "tst_blockmatcher.moc"
