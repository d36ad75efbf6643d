#include "fileops/sessionfile.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// A session file put together in pieces reads back what it holds through its own descriptor,
// however it was opened: new, continued at any offset, or continued at its end.
class TestSessionFile : public QObject
{
    Q_OBJECT

private slots:
    void readsBackWhatItHolds_data();
    void readsBackWhatItHolds();
};

void TestSessionFile::readsBackWhatItHolds_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("created") << "create";
    QTest::newRow("continued at any offset") << "write";
    QTest::newRow("continued at its end") << "append";
}

void TestSessionFile::readsBackWhatItHolds()
{
    QFETCH(QString, mode);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("part"));
    const QByteArray kept = "kept from an earlier run;";
    QVERIFY(writeFile(path, kept));
    SessionFile file(path);
    QByteArray expected;
    if (mode == QLatin1String("create")) {
        QVERIFY(file.create());
    } else if (mode == QLatin1String("write")) {
        QCOMPARE(file.openToWrite(), qint64(kept.size()));
        expected = kept;
    } else {
        QVERIFY(file.openToAppend(kept.size()));
        expected = kept;
    }
    const QByteArray more = " and a block fetched now";
    QVERIFY(file.writeAt(expected.size(), more.constData(), more.size()));
    expected += more;

    QByteArray read(expected.size(), '\0');
    QCOMPARE(::pread(file.handle(), read.data(), size_t(read.size()), 0), ssize_t(read.size()));
    QCOMPARE(read, expected);
}

QTEST_GUILESS_MAIN(TestSessionFile)
#include "tst_sessionfile.moc"
