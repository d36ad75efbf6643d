#include "download/growingfiledigest.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

// The digest of a file while it is written, with real files and a real pool: the bytes are
// appended in steps as a download would, and the digest must be the file's as it ends up.
class TestGrowingFileDigest : public QObject
{
    Q_OBJECT

private slots:
    void digestOfTheFileAsWritten_data();
    void digestOfTheFileAsWritten();
    void droppedFileIsNeverReported();

private:
    QTemporaryDir dir;
};

namespace {

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

} // namespace

void TestGrowingFileDigest::digestOfTheFileAsWritten_data()
{
    QTest::addColumn<qsizetype>("kept");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qsizetype>("step");
    QTest::addColumn<bool>("shrinks");

    QTest::newRow("empty file") << qsizetype(0) << qsizetype(0) << qsizetype(1) << false;
    QTest::newRow("small file, one write")
        << qsizetype(0) << qsizetype(3000) << qsizetype(3000) << false;
    // Several jobs, each for a megabyte or more, and the rest at the end.
    QTest::newRow("megabytes in network-sized steps")
        << qsizetype(0) << qsizetype(5 * 1024 * 1024 + 123) << qsizetype(64 * 1024) << false;
    // Bytes an earlier attempt left are digested from disk with the rest.
    QTest::newRow("kept bytes, then the rest")
        << qsizetype(1536 * 1024) << qsizetype(3 * 1024 * 1024) << qsizetype(100000) << false;
    // Cut short behind the writer's back before its bytes were read (under a megabyte, they
    // wait for finish()): no digest rather than one of other bytes.
    QTest::newRow("file shorter than reported")
        << qsizetype(0) << qsizetype(600 * 1024) << qsizetype(100 * 1024) << true;
}

void TestGrowingFileDigest::digestOfTheFileAsWritten()
{
    QFETCH(qsizetype, kept);
    QFETCH(qsizetype, size);
    QFETCH(qsizetype, step);
    QFETCH(bool, shrinks);

    const QByteArray content = noise(size, quint32(size));
    QFile file(dir.filePath(QTest::currentDataTag()));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    QCOMPARE(file.write(content.left(kept)), qint64(kept));

    QThreadPool pool;
    GrowingFileDigest digest;
    digest.setPool(&pool);
    QSignalSpy ready(&digest, &GrowingFileDigest::ready);
    digest.start(file.fileName(), kept);
    for (qsizetype at = kept; at < size; at += step) {
        const QByteArray piece = content.mid(at, step);
        QCOMPARE(file.write(piece), qint64(piece.size()));
        digest.grown(at + piece.size());
        // Writes and jobs interleave as they would beside a transfer.
        QCoreApplication::processEvents();
    }
    if (shrinks)
        QVERIFY(file.resize(size / 2));
    file.close();
    digest.finish(size);
    QTRY_COMPARE(ready.count(), 1);

    const QByteArray delivered = ready.first().first().toByteArray();
    QCOMPARE(delivered, shrinks ? QByteArray() : md5(content));
    QTest::qWait(20);
    QCOMPARE(ready.count(), 1);
}

void TestGrowingFileDigest::droppedFileIsNeverReported()
{
    // A download that starts over drops the digest of the attempt before, whose job may still
    // be running; only the new file's digest may arrive.
    const QByteArray first = noise(4 * 1024 * 1024, 1);
    const QByteArray second = noise(1000, 2);
    const QString path = dir.filePath("again.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(first), qint64(first.size()));
    file.close();

    GrowingFileDigest digest;
    QSignalSpy ready(&digest, &GrowingFileDigest::ready);
    digest.start(path);
    digest.finish(first.size());
    digest.stop();
    // Nothing to read (no byte asked for): the digest is on its way through the event loop
    // when dropped.
    digest.start(path);
    digest.finish(0);
    digest.stop();
    QTest::qWait(20);
    QCOMPARE(ready.count(), 0);

    QVERIFY(QFile::remove(path));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(second), qint64(second.size()));
    file.close();
    digest.start(path);
    digest.finish(second.size());
    QTRY_COMPARE(ready.count(), 1);
    QCOMPARE(ready.first().first().toByteArray(), md5(second));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(ready.count(), 1);
}

QTEST_GUILESS_MAIN(TestGrowingFileDigest)
#include "tst_growingfiledigest.moc"
