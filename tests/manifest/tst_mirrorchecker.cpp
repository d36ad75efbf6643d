// "varnolt-release check-mirror" run as a child process against a local mirror that holds a
// release published with the same tool.

#include "releasemirror.h"
#include "testsupport.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <zlib.h>

class TestMirrorChecker : public QObject
{
    Q_OBJECT

private slots:
    void checksMirror_data();
    void checksMirror();
};

namespace {

enum Damage {
    None,
    MissingAndLonger,
    MissingAndSameSizeCorrupt,
    TamperedManifest,
    TamperedSideFile,
    TamperedDigests,
    MissingList,
    SameSizeCorruptList,
    OtherCompressedDigests,
    CompressedIniBomb
};

const QString Type = QStringLiteral("client_linux_amd64");

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QString out;
};

// The mirror answers from this process's event loop, which keeps turning while waiting.
ToolRun runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE")), arguments);
    ToolRun run;
    run.finished = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.exitCode = process.exitCode();
    run.out
        = QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
    return run;
}

} // namespace

void TestMirrorChecker::checksMirror_data()
{
    QTest::addColumn<bool>("full");
    QTest::addColumn<int>("damage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("reported");

    QTest::newRow("complete, by size")
        << false << int(None) << 0
        << QStringList {"Complete: ", "3 files checked by size, and 1 block list files"};
    // The list, and the compressed forms of the ini, the digests file and the list.
    QTest::newRow("complete, by MD5")
        << true << int(None) << 0
        << QStringList {"Complete: ", "and 4 block list files and gzip forms"};
    const QStringList both {"missing: client_linux_amd64/data/levels.dat.gz (HTTP 404)",
                            "wrong: client_linux_amd64/data/version.txt",
                            "Not complete: ", "1 missing, 1 wrong of 3 files"};
    QTest::newRow("missing and corrupted, by size") << false << int(MissingAndLonger) << 1 << both;
    QTest::newRow("missing and corrupted, by MD5")
        << true << int(MissingAndSameSizeCorrupt) << 1 << both;
    QTest::newRow("tampered product ini")
        << false << int(TamperedManifest) << 1 << QStringList {"signature not valid"};
    QTest::newRow("side file not the one the product ini names")
        << false << int(TamperedSideFile) << 1
        << QStringList {"not the side file the product ini names"};
    QTest::newRow("digests file not the one the product ini names")
        << true << int(TamperedDigests) << 1
        << QStringList {"not the digests file the product ini names"};
    QTest::newRow("list missing")
        << false << int(MissingList) << 1
        << QStringList {"missing: client_linux_amd64/data/levels.dat.gz::blocks (HTTP 404)",
                        "1 missing, 0 wrong"};
    QTest::newRow("list not the one the digests file binds")
        << true << int(SameSizeCorruptList) << 1
        << QStringList {"wrong: client_linux_amd64/data/levels.dat.gz::blocks (SHA-256 ",
                        " in the digests file)"};
    QTest::newRow("compressed digests file not the digests file")
        << true << int(OtherCompressedDigests) << 1
        << QStringList {"wrong: client_linux_amd64.digests.gz (gzip form: it inflates to "
                        "other bytes"};
    QTest::newRow("compressed ini a bomb")
        << true << int(CompressedIniBomb) << 1
        << QStringList {"wrong: client_linux_amd64.ini.gz (gzip form: it inflates to more than"};
}

void TestMirrorChecker::checksMirror()
{
    QFETCH(bool, full);
    QFETCH(int, damage);
    QFETCH(int, exitCode);
    QFETCH(QStringList, reported);

    ReleaseMirror release(Type, 7,
                          {{"vl3client_runscript.sh", "#!/bin/sh\n"},
                           {"data/version.txt", "version 7\n"},
                           {"data/levels.dat", pattern(50000, 'L')}},
                          {"--gzip", "data/levels.dat", "--block-lists-from", "40000"});
    QVERIFY2(release.error().isEmpty(), qPrintable(release.error()));
    TestHttpMirror &mirror = release.server();
    const QString version = release.path(Type + QLatin1String("/data/version.txt"));
    switch (damage) {
    case MissingAndLonger:
        QVERIFY(QFile::remove(release.rootPath() + QLatin1String("/7/") + Type
                              + QLatin1String("/data/levels.dat.gz")));
        mirror.setContent(version, "version 7 and more\n");
        break;
    case MissingAndSameSizeCorrupt:
        QVERIFY(QFile::remove(release.rootPath() + QLatin1String("/7/") + Type
                              + QLatin1String("/data/levels.dat.gz")));
        mirror.setContent(version, "version 8\n");
        break;
    case TamperedManifest: {
        const QString ini
            = release.rootPath() + QLatin1String("/7/") + Type + QLatin1String(".ini");
        QVERIFY(writeFile(ini, readAll(ini) + "\n[extra]\nx=0::0\n"));
        break;
    }
    case TamperedSideFile: {
        const QString side
            = release.rootPath() + QLatin1String("/7/") + Type + QLatin1String(".hashes");
        QByteArray bytes = readAll(side);
        bytes[bytes.size() - 2] = bytes.at(bytes.size() - 2) == 'x' ? 'y' : 'x';
        QVERIFY(writeFile(side, bytes));
        break;
    }
    case TamperedDigests:
    case SameSizeCorruptList: {
        const QString file = release.rootPath() + QLatin1String("/7/") + Type
            + (damage == TamperedDigests ? QLatin1String(".digests")
                                         : QLatin1String("/data/levels.dat.gz::blocks"));
        QByteArray bytes = readAll(file);
        bytes[bytes.size() - 2] = bytes.at(bytes.size() - 2) == 'x' ? 'y' : 'x';
        QVERIFY(writeFile(file, bytes));
        break;
    }
    case MissingList:
        QVERIFY(QFile::remove(release.rootPath() + QLatin1String("/7/") + Type
                              + QLatin1String("/data/levels.dat.gz::blocks")));
        break;
    case OtherCompressedDigests: {
        // The digests file with one byte changed, compressed.
        const QString digests
            = release.rootPath() + QLatin1String("/7/") + Type + QLatin1String(".digests");
        QByteArray bytes = readAll(digests);
        bytes[bytes.size() - 2] = bytes.at(bytes.size() - 2) == 'x' ? 'y' : 'x';
        QVERIFY(writeFile(digests + QLatin1String(".gz"), gzipped(bytes)));
        break;
    }
    case CompressedIniBomb:
        // A megabyte of zeros in a kilobyte.
        QVERIFY(
            writeFile(release.rootPath() + QLatin1String("/7/") + Type + QLatin1String(".ini.gz"),
                      gzipped(QByteArray(1 << 20, '\0'))));
        break;
    default:
        break;
    }

    QStringList args {"check-mirror", mirror.baseUrl(), "--type", Type, "--version", "7"};
    if (full)
        args << "--full";
    const ToolRun run = runTool(args);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.out));
    for (const QString &text : reported)
        QVERIFY2(run.out.contains(text), qPrintable(run.out));

    if (damage == TamperedManifest || damage == TamperedSideFile || damage == TamperedDigests) {
        // Nothing the manifest lists is asked for when it, its side file or its digests file
        // is not the release: the ini, its two signature files, the side file and the digests
        // file at most.
        QCOMPARE(mirror.totalRequestCount(),
                 damage == TamperedManifest       ? 3
                     : damage == TamperedSideFile ? 4
                                                  : 5);
        return;
    }
    // Every file was asked for once; by size without a single body byte.
    for (const char *file : {"vl3client_runscript.sh", "data/version.txt"}) {
        const QString path = release.path(Type + QLatin1Char('/') + QLatin1String(file));
        QCOMPARE(mirror.requestCount(path), 1);
        if (!full)
            QCOMPARE(mirror.bodyBytesSent(path), 0);
    }
}

QTEST_GUILESS_MAIN(TestMirrorChecker)
#include "tst_mirrorchecker.moc"
