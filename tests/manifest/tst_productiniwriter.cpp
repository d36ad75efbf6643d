#include "manifest/productiniwriter.h"
#include "manifest/releasebinding.h"

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
    void bindingReadsBackWithBothReaders();
    void bindingHeads_data();
    void bindingHeads();
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
    ReleaseDirectories directories;
    directories.dropped = QStringList {QStringLiteral("ok"), path};
    QVERIFY(!writer.setDirectories(directories));
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

void TestProductIniWriter::bindingReadsBackWithBothReaders()
{
    ReleaseBinding binding;
    binding.present = true;
    binding.clientType = QStringLiteral("client_linux_amd64");
    binding.version = QStringLiteral("42");
    binding.published = QDateTime(QDate(2026, 12, 7), QTime(12, 0, 1), Qt::UTC);
    binding.expires = binding.published.addSecs(86400 / 2);
    binding.sideFile = QStringLiteral("client_linux_amd64.hashes");
    binding.sideFileSha256 = QByteArray(32, '\xab');
    binding.sideFileSize = 123;
    ProductIniWriter writer;
    writer.setBinding(binding);
    // Beside the binding, with names the settings reader quotes or escapes.
    ReleaseDirectories directories;
    directories.empty = QStringList {QStringLiteral("a, b/\"c\""), QStringLiteral("x=y; z"),
                                     QStringLiteral("Grüße/ünter")};
    directories.dropped = QStringList {QStringLiteral("old dir")};
    QVERIFY(writer.setDirectories(directories));
    QVERIFY(writer.addFile(QStringLiteral("General0"), QStringLiteral("a"), MD5_A, 1));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.ini"));
    QVERIFY2(writer.write(path), qPrintable(writer.errorString()));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    ReleaseBinding read;
    QString problem;
    QVERIFY2(ReleaseBinding::parse(file.readAll(), &read, &problem), qPrintable(problem));
    QVERIFY(read == binding);
    QSettings settings(path, QSettings::IniFormat);
    QVERIFY(ReleaseDirectories::read(settings) == directories);
    // Invisible to the reader of the file lists, which counts sections only.
    QCOMPARE(readLikeTheUpdater(path).keys(), QStringList {QStringLiteral("General0")});
}

void TestProductIniWriter::bindingHeads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("problem");

    const QByteArray rest = "release_published=2026-12-07T12:00:00Z\n"
                            "release_type=t\nrelease_version=7\nside_file=t.hashes\n"
                            "side_file_sha256="
        + QByteArray(64, 'a') + "\nside_file_size=10\n";
    QTest::newRow("none") << QByteArray("[s]\nrelease_version=7\n") << true << false << QString();
    QTest::newRow("complete") << "[General]\n" + rest + "[s]\nk=v\n" << true << true << QString();
    QTest::newRow("without the General header") << rest << true << true << QString();
    QTest::newRow("twice") << rest + "release_version=8\n" << false << false << "given twice";
    QTest::newRow("one missing")
        << QByteArray(rest).replace("release_type=t\n", "") << false << false
        << "release_type is missing";
    QTest::newRow("version not a number")
        << QByteArray(rest).replace("release_version=7", "release_version=7a") << false << false
        << "release_version has the malformed value";
    QTest::newRow("time without zone")
        << QByteArray(rest).replace("12:00:00Z", "12:00:00") << false << false
        << "release_published has the malformed value";
    QTest::newRow("side file with a path")
        << QByteArray(rest).replace("side_file=t.hashes", "side_file=../t.hashes") << false
        << false << "side_file has the malformed value";
    QTest::newRow("digest in upper case")
        << QByteArray(rest).replace(QByteArray(64, 'a'), QByteArray(64, 'A')) << false << false
        << "side_file_sha256 has the malformed value";
}

void TestProductIniWriter::bindingHeads()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, parses);
    QFETCH(bool, present);
    QFETCH(QString, problem);

    ReleaseBinding binding;
    QString reason;
    QCOMPARE(ReleaseBinding::parse(head, &binding, &reason), parses);
    QCOMPARE(binding.present, present);
    QVERIFY2(reason.contains(problem), qPrintable(reason));
    if (present)
        QCOMPARE(binding.version, QStringLiteral("7"));
}

QTEST_GUILESS_MAIN(TestProductIniWriter)
#include "tst_productiniwriter.moc"
