#include "manifest/productiniwriter.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString MD5_A = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString MD5_B = QStringLiteral("FEDCBA9876543210FEDCBA9876543210");

// The product ini as the updater reads it: section -> key -> value parts.
QMap<QString, QMap<QString, QStringList>> readLikeTheUpdater(const QString &path)
{
    QMap<QString, QMap<QString, QStringList>> result;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            result[section][key] = settings.value(key).toString().split(QLatin1String("::"));
        settings.endGroup();
    }
    return result;
}

} // namespace

class TestProductIniWriter : public QObject
{
    Q_OBJECT

private slots:
    void entriesReadBackAsWritten_data();
    void entriesReadBackAsWritten();
    void invalidSectionNamesAreRefused_data();
    void invalidSectionNamesAreRefused();
    void invalidPathsAreRefused_data();
    void invalidPathsAreRefused();
    void duplicatesAndMalformedMd5();
    void writeReplacesAnOldFile();
    void writeFailures();
};

void TestProductIniWriter::entriesReadBackAsWritten_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << QStringLiteral("client");
    QTest::newRow("subdirectories") << QStringLiteral("lib/plugins/libx.so");
    QTest::newRow("blanks and commas") << QStringLiteral("data/a b, c.txt");
    QTest::newRow("ini syntax") << QStringLiteral("x;y#z=w[s]\"q\"");
    QTest::newRow("percent") << QStringLiteral("100%.txt");
    QTest::newRow("non-ASCII") << QStringLiteral("daten/\u00e4\u00f6\u00fc\u00df/\u65e5\u672c.txt");
    QTest::newRow("hidden file") << QStringLiteral(".config/x");
    QTest::newRow("looks like General") << QStringLiteral("General");
}

void TestProductIniWriter::entriesReadBackAsWritten()
{
    QFETCH(QString, path);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString iniPath = dir.filePath(QStringLiteral("client_linux_amd64.ini"));

    ProductIniWriter writer;
    QVERIFY2(writer.addFile(QStringLiteral("files"), path, MD5_A, 7),
             qPrintable(writer.errorString()));
    QVERIFY2(writer.addPackedFile(QStringLiteral("packed"), path + QLatin1String(".gz"), MD5_B,
                                  18446744073709551615ull, MD5_A, 0, path),
             qPrintable(writer.errorString()));
    QVERIFY2(writer.addDelete(path), qPrintable(writer.errorString()));
    QCOMPARE(writer.fileCount(), 2);
    QCOMPARE(writer.deleteCount(), 1);
    QVERIFY2(writer.write(iniPath), qPrintable(writer.errorString()));

    const auto ini = readLikeTheUpdater(iniPath);
    QCOMPARE(ini.keys(),
             (QStringList {QStringLiteral("delete"), QStringLiteral("files"),
                           QStringLiteral("packed")}));
    QCOMPARE(ini.value(QStringLiteral("files")).value(path),
             (QStringList {MD5_A, QStringLiteral("7")}));
    QCOMPARE(ini.value(QStringLiteral("packed")).value(path + QLatin1String(".gz")),
             (QStringList {MD5_B, QStringLiteral("18446744073709551615"), MD5_A,
                           QStringLiteral("0"), path}));
    QCOMPARE(ini.value(QStringLiteral("delete")).keys(), QStringList {path});
}

void TestProductIniWriter::invalidSectionNamesAreRefused_data()
{
    QTest::addColumn<QString>("section");
    QTest::newRow("empty") << QString();
    QTest::newRow("slash") << QStringLiteral("a/b");
    QTest::newRow("backslash") << QStringLiteral("a\\b");
    QTest::newRow("delete") << QStringLiteral("delete");
    QTest::newRow("General") << QStringLiteral("General");
    QTest::newRow("general") << QStringLiteral("general");
    QTest::newRow("control character") << QStringLiteral("a\nb");
}

void TestProductIniWriter::invalidSectionNamesAreRefused()
{
    QFETCH(QString, section);
    QVERIFY(!ProductIniWriter::checkSectionName(section).isEmpty());
    ProductIniWriter writer;
    QVERIFY(!writer.addFile(section, QStringLiteral("file"), MD5_A, 1));
    QVERIFY(!writer.errorString().isEmpty());
    QCOMPARE(writer.fileCount(), 0);
}

void TestProductIniWriter::invalidPathsAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("absolute") << QStringLiteral("/etc/passwd");
    QTest::newRow("parent") << QStringLiteral("..");
    QTest::newRow("climbs out") << QStringLiteral("a/../../b");
    QTest::newRow("dot component") << QStringLiteral("./a");
    QTest::newRow("double slash") << QStringLiteral("a//b");
    QTest::newRow("trailing slash") << QStringLiteral("a/");
    QTest::newRow("backslash") << QStringLiteral("a\\b");
    QTest::newRow("value separator") << QStringLiteral("a::b");
    QTest::newRow("newline") << QStringLiteral("a\nb");
}

void TestProductIniWriter::invalidPathsAreRefused()
{
    QFETCH(QString, path);
    QVERIFY(!ProductIniWriter::checkRelativePath(path).isEmpty());
    ProductIniWriter writer;
    QVERIFY(!writer.addFile(QStringLiteral("files"), path, MD5_A, 1));
    QVERIFY(!writer.addPackedFile(QStringLiteral("files"), QStringLiteral("ok.gz"), MD5_A, 1, MD5_B,
                                  2, path));
    QVERIFY(!writer.addDelete(path));
    QCOMPARE(writer.fileCount() + writer.deleteCount(), 0);
}

void TestProductIniWriter::duplicatesAndMalformedMd5()
{
    ProductIniWriter writer;
    QVERIFY(writer.addFile(QStringLiteral("a"), QStringLiteral("f"), MD5_A, 1));
    QVERIFY(!writer.addFile(QStringLiteral("a"), QStringLiteral("f"), MD5_B, 2));
    QVERIFY(writer.errorString().contains(QLatin1String("twice")));
    // The same key in another section is another stored file.
    QVERIFY(writer.addFile(QStringLiteral("b"), QStringLiteral("f"), MD5_B, 2));
    QVERIFY(writer.addDelete(QStringLiteral("old")));
    QVERIFY(writer.addDelete(QStringLiteral("old")));
    QCOMPARE(writer.fileCount(), 2);
    QCOMPARE(writer.deleteCount(), 1);

    for (const QString &md5 :
         {QString(), MD5_A.left(31), MD5_A + QLatin1Char('0'),
          QStringLiteral("0123456789abcdef0123456789abcdeg"), MD5_A + QLatin1Char(' ')}) {
        QVERIFY2(!writer.addFile(QStringLiteral("c"), QStringLiteral("g"), md5, 1),
                 qPrintable(md5));
        QVERIFY2(!writer.addPackedFile(QStringLiteral("c"), QStringLiteral("g"), MD5_A, 1, md5, 1,
                                       QStringLiteral("h")),
                 qPrintable(md5));
    }
    QCOMPARE(writer.fileCount(), 2);
}

void TestProductIniWriter::writeReplacesAnOldFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString iniPath = dir.filePath(QStringLiteral("t.ini"));
    {
        QSettings old(iniPath, QSettings::IniFormat);
        old.setValue(QStringLiteral("files/stale"), MD5_A + QLatin1String("::1"));
        old.setValue(QStringLiteral("delete/keep-me"), QString());
    }

    ProductIniWriter writer;
    QVERIFY(writer.addFile(QStringLiteral("files"), QStringLiteral("fresh"), MD5_B, 2));
    QVERIFY2(writer.write(iniPath), qPrintable(writer.errorString()));
    const auto ini = readLikeTheUpdater(iniPath);
    QCOMPARE(ini.keys(), QStringList {QStringLiteral("files")});
    QCOMPARE(ini.value(QStringLiteral("files")).keys(), QStringList {QStringLiteral("fresh")});
}

void TestProductIniWriter::writeFailures()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ProductIniWriter empty;
    QVERIFY(!empty.write(dir.filePath(QStringLiteral("empty.ini"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("empty.ini"))));

    ProductIniWriter writer;
    QVERIFY(writer.addFile(QStringLiteral("files"), QStringLiteral("f"), MD5_A, 1));
    // A plain file where the directory should be.
    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!writer.write(dir.filePath(QStringLiteral("blocker/t.ini"))));
    QVERIFY(!writer.errorString().isEmpty());
}

QTEST_GUILESS_MAIN(TestProductIniWriter)
#include "tst_productiniwriter.moc"
