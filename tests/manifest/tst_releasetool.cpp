// The release tool run as a child process, the way a release manager runs it.

#include "manifest/blocklist.h"
#include "manifest/cryptotools.h"
#include "manifest/releasebinding.h"
#include "manifest/scopedrsakey.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString DEVELOPMENT_KEYS = QStringLiteral(VARNOLT_DEVELOPMENT_KEY_DIR);
const QString PRIVATE_KEY = DEVELOPMENT_KEYS + QLatin1String("/private.key");
const QString PUBLIC_KEY_FILE = DEVELOPMENT_KEYS + QLatin1String("/public.key");

struct ToolRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VARNOLT_RELEASE_EXE), arguments);
    ToolRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = QStringLiteral("(timed out)");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QByteArray gunzip(const QString &path)
{
    QByteArray result;
    gzFile file = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return result;
    char buffer[4096];
    int count = 0;
    while ((count = gzread(file, buffer, sizeof(buffer))) > 0)
        result.append(buffer, count);
    gzclose(file);
    return count < 0 ? QByteArray() : result;
}

bool signatureValid(const QByteArray &keyBlock, const QString &filePath)
{
    const QByteArray data = readAll(filePath);
    const QByteArray signature = readAll(filePath + QLatin1String(".sig"));
    ScopedRsaKey key;
    load_key(key.get(), reinterpret_cast<const unsigned char *>(keyBlock.constData()),
             static_cast<unsigned long>(keyBlock.size()));
    return verify_msg(key.get(), reinterpret_cast<const unsigned char *>(data.constData()),
                      static_cast<unsigned long>(data.size()),
                      reinterpret_cast<const unsigned char *>(signature.constData()),
                      static_cast<unsigned long>(signature.size()));
}

QByteArray builtInKey()
{
    return QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), int(KEY_BLOCK_SIZE));
}

} // namespace

class TestReleaseTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void releaseOfAClientTree();
    void releaseWithOwnSection();
    void existingReleaseNeedsForce();
    void signAndVerifyCommands();
    void keygenMakesAUsablePair();
    void badArguments_data();
    void badArguments();
    void treeEntries_data();
    void treeEntries();
    void help();
    void previousReleaseNamesStaleFiles();
    void publishingSyncsOnce();
    void blockListsForLargeFiles_data();
    void blockListsForLargeFiles();
    void costOfAnUpdate();

private:
    // The small client tree every test publishes: relative path -> content.
    QMap<QString, QByteArray> tree;
    QScopedPointer<QTemporaryDir> work;
    QString source;
    QString mirror;

    void makeTree();
    QStringList releaseArguments(const QString &version = QStringLiteral("42")) const;
};

void TestReleaseTool::initTestCase()
{
    crypt_init();
    QVERIFY2(QFileInfo::exists(QStringLiteral(VARNOLT_RELEASE_EXE)), VARNOLT_RELEASE_EXE);
    QByteArray library(70000, Qt::Uninitialized);
    for (char &byte : library)
        byte = char(QRandomGenerator::global()->bounded(256));
    tree.insert(QStringLiteral("vl3client_runscript.sh"),
                QByteArray("#!/bin/sh\nexec ./client \"$@\"\n"));
    tree.insert(QStringLiteral("bin/client"), QByteArray("client executable"));
    tree.insert(QStringLiteral("lib/libx.so"), library);
    tree.insert(QStringLiteral("data/a b,c.txt"), QByteArray(5000, 'z'));
    tree.insert(QStringLiteral("data/empty"), QByteArray());
    tree.insert(QStringLiteral(".hidden/settings"), QByteArray("hidden=1\n"));
}

void TestReleaseTool::init()
{
    work.reset(new QTemporaryDir);
    QVERIFY(work->isValid());
    source = work->filePath(QStringLiteral("client"));
    mirror = work->filePath(QStringLiteral("mirror"));
    makeTree();
}

void TestReleaseTool::makeTree()
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        QVERIFY(writeFile(QDir(source).filePath(it.key()), it.value()));
}

QStringList TestReleaseTool::releaseArguments(const QString &version) const
{
    return {QStringLiteral("release"),
            QStringLiteral("--type"),
            QStringLiteral("client_linux_amd64"),
            QStringLiteral("--version"),
            version,
            QStringLiteral("--source"),
            source,
            QStringLiteral("--out"),
            mirror,
            QStringLiteral("--key"),
            PRIVATE_KEY};
}

void TestReleaseTool::releaseOfAClientTree()
{
    const QStringList packed {QStringLiteral("lib/libx.so"), QStringLiteral("data/a b,c.txt")};
    const QStringList deleted {QStringLiteral("old/obsolete.txt"), QStringLiteral("plugins")};
    QStringList arguments = releaseArguments();
    for (const QString &path : packed)
        arguments << QStringLiteral("--gzip") << path;
    for (const QString &path : deleted)
        arguments << QStringLiteral("--delete") << path;
    const ToolRun run = runTool(arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    const QString versionDir = QDir(mirror).filePath(QStringLiteral("42"));
    const QString iniPath = QDir(versionDir).filePath(QStringLiteral("client_linux_amd64.ini"));
    QCOMPARE(readAll(iniPath + QLatin1String(".sig")).size(), 128);

    // The updater accepts it: the built-in key verifies the manifest. A build configured with
    // another public key cannot, and must say so instead of passing silently.
    const bool builtInIsDevelopmentKey = builtInKey() == readAll(PUBLIC_KEY_FILE);
    QVERIFY(signatureValid(readAll(PUBLIC_KEY_FILE), iniPath));
    QCOMPARE(signatureValid(builtInKey(), iniPath), builtInIsDevelopmentKey);
    QCOMPARE(run.err.contains(QLatin1String("note:")), !builtInIsDevelopmentKey);

    // Read it the way the updater does.
    QSettings ini(iniPath, QSettings::IniFormat);
    QCOMPARE(ini.childGroups(),
             (QStringList {QStringLiteral("client_linux_amd64"), QStringLiteral("delete")}));
    ini.beginGroup(QStringLiteral("delete"));
    QStringList deleteKeys = ini.allKeys();
    deleteKeys.sort();
    QCOMPARE(deleteKeys, deleted);
    ini.endGroup();

    // The release binding, and the side file it pins with the SHA-256 of every stored file.
    ReleaseBinding binding;
    QString problem;
    QVERIFY2(ReleaseBinding::parse(readAll(iniPath), &binding, &problem), qPrintable(problem));
    QVERIFY(binding.present);
    QCOMPARE(binding.clientType, QStringLiteral("client_linux_amd64"));
    QCOMPARE(binding.version, QStringLiteral("42"));
    QVERIFY(qAbs(binding.published.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
    QVERIFY(!binding.expires.isValid());
    QCOMPARE(binding.sideFile, QStringLiteral("client_linux_amd64.hashes"));
    QCOMPARE(ini.value(QStringLiteral("release_version")).toString(), QStringLiteral("42"));
    const QByteArray sideBytes = readAll(QDir(versionDir).filePath(binding.sideFile));
    QCOMPARE(qint64(sideBytes.size()), binding.sideFileSize);
    QCOMPARE(Sha256::hash(sideBytes), binding.sideFileSha256);
    SideFile side;
    QVERIFY2(SideFile::parse(sideBytes, &side, &problem), qPrintable(problem));
    QCOMPARE(side.sha256.size(), tree.size());

    ini.beginGroup(QStringLiteral("client_linux_amd64"));
    QCOMPARE(ini.allKeys().size(), tree.size());
    const QString sectionDir = QDir(versionDir).filePath(QStringLiteral("client_linux_amd64"));
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = it.key();
        const QByteArray &content = it.value();
        const bool isPacked = packed.contains(path);
        const QString key = isPacked ? path + QLatin1String(".gz") : path;
        const QStringList parts = ini.value(key).toString().split(QLatin1String("::"));
        const QByteArray stored = readAll(QDir(sectionDir).filePath(key));
        QVERIFY2(QFileInfo::exists(QDir(sectionDir).filePath(key)), qPrintable(key));
        QCOMPARE(side.sha256.value(QStringLiteral("client_linux_amd64/") + key),
                 Sha256::hash(stored));
        if (!isPacked) {
            QCOMPARE(parts, (QStringList {md5Of(content), QString::number(content.size())}));
            QCOMPARE(stored, content);
            continue;
        }
        QCOMPARE(parts.size(), 5);
        QCOMPARE(parts.at(0), md5Of(stored));
        QCOMPARE(parts.at(1), QString::number(stored.size()));
        QCOMPARE(parts.at(2), md5Of(content));
        QCOMPARE(parts.at(3), QString::number(content.size()));
        QCOMPARE(parts.at(4), path);
        QCOMPARE(gunzip(QDir(sectionDir).filePath(key)), content);
    }
    ini.endGroup();

    // Nothing else lands on the mirror.
    const QDir versions(mirror);
    QCOMPARE(versions.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("42")});
    QCOMPARE(QDir(versionDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList {QStringLiteral("client_linux_amd64"),
                           QStringLiteral("client_linux_amd64.digests"),
                           QStringLiteral("client_linux_amd64.digests.gz"),
                           QStringLiteral("client_linux_amd64.hashes"),
                           QStringLiteral("client_linux_amd64.ini"),
                           QStringLiteral("client_linux_amd64.ini.gz"),
                           QStringLiteral("client_linux_amd64.ini.sig")}));
    // The compressed forms are the plain bytes, which the signature and the binding cover, in a
    // gzip member without a name or a time, the same wherever and whenever it is made.
    QCOMPARE(gunzip(iniPath + QLatin1String(".gz")), readAll(iniPath));
    QCOMPARE(readAll(iniPath + QLatin1String(".gz")).left(8),
             QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8));
    QCOMPARE(binding.digestsFile, QStringLiteral("client_linux_amd64.digests"));
    const QByteArray digests = readAll(QDir(versionDir).filePath(binding.digestsFile));
    QCOMPARE(qint64(digests.size()), binding.digestsFileSize);
    QCOMPARE(Sha256::hash(digests), binding.digestsFileSha256);
    QCOMPARE(gunzip(QDir(versionDir).filePath(binding.digestsFile) + QLatin1String(".gz")),
             digests);
    // No file is large enough for a list: the digests file is the side file.
    QCOMPARE(digests, sideBytes);
}

void TestReleaseTool::releaseWithOwnSection()
{
    const ToolRun run = runTool(
        {QStringLiteral("release"), QStringLiteral("--type"), QStringLiteral("client_linux_x86"),
         QStringLiteral("--version"), QStringLiteral("7"), QStringLiteral("--section"),
         QStringLiteral("files"), QStringLiteral("--source"), source, QStringLiteral("--out"),
         mirror, QStringLiteral("--key"), PRIVATE_KEY});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString iniPath = QDir(mirror).filePath(QStringLiteral("7/client_linux_x86.ini"));
    QSettings ini(iniPath, QSettings::IniFormat);
    QCOMPARE(ini.childGroups(), QStringList {QStringLiteral("files")});
    QCOMPARE(readAll(QDir(mirror).filePath(QStringLiteral("7/files/bin/client"))),
             tree.value(QStringLiteral("bin/client")));
    QVERIFY(signatureValid(readAll(PUBLIC_KEY_FILE), iniPath));
}

void TestReleaseTool::existingReleaseNeedsForce()
{
    QCOMPARE(
        runTool(releaseArguments() << QStringLiteral("--gzip") << QStringLiteral("lib/libx.so"))
            .exitCode,
        0);
    const QString iniPath = QDir(mirror).filePath(QStringLiteral("42/client_linux_amd64.ini"));
    const QByteArray first = readAll(iniPath);

    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("bin/client")),
                      QByteArray("client, second build")));
    ToolRun run = runTool(releaseArguments());
    QCOMPARE(run.exitCode, 4);
    QVERIFY2(run.err.contains(QLatin1String("--force")), qPrintable(run.err));
    QCOMPARE(readAll(iniPath), first);

    run = runTool(releaseArguments() << QStringLiteral("--force"));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("client_linux_amd64"));
    // The replaced manifest holds the new build only: no entry of the first one survives.
    QCOMPARE(ini.allKeys().size(), tree.size());
    QVERIFY(!ini.contains(QStringLiteral("lib/libx.so.gz")));
    QCOMPARE(ini.value(QStringLiteral("bin/client")).toString(),
             md5Of("client, second build") + QLatin1String("::20"));
    QVERIFY(signatureValid(readAll(PUBLIC_KEY_FILE), iniPath));
}

void TestReleaseTool::signAndVerifyCommands()
{
    const QString file = work->filePath(QStringLiteral("payload.bin"));
    QVERIFY(writeFile(file, QByteArray("payload")));
    ToolRun run = runTool({QStringLiteral("sign"), file, QStringLiteral("--key"), PRIVATE_KEY});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(readAll(file + QLatin1String(".sig")).size(), 128);
    // A compressed form beside it is made anew from what was signed; none is made otherwise.
    QVERIFY(!QFileInfo::exists(file + QLatin1String(".gz")));
    QVERIFY(writeFile(file + QLatin1String(".gz"), gzipped("an edit before")));
    QVERIFY(writeFile(file, QByteArray("payload, edited")));
    run = runTool({QStringLiteral("sign"), file, QStringLiteral("--key"), PRIVATE_KEY});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(gunzip(file + QLatin1String(".gz")), QByteArray("payload, edited"));
    QVERIFY(writeFile(file, QByteArray("payload")));
    QVERIFY(QFile::remove(file + QLatin1String(".gz")));
    QVERIFY(runTool({QStringLiteral("sign"), file, QStringLiteral("--key"), PRIVATE_KEY}).exitCode
            == 0);

    const QStringList verifyArguments {QStringLiteral("verify"), file, QStringLiteral("--key"),
                                       PUBLIC_KEY_FILE};
    run = runTool(verifyArguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));

    QVERIFY(writeFile(file, QByteArray("payloaD")));
    run = runTool(verifyArguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.contains(QLatin1String("NOT valid")));

    QVERIFY(writeFile(file, QByteArray("payload")));
    QCOMPARE(runTool(verifyArguments).exitCode, 0);
    QVERIFY(
        writeFile(file + QLatin1String(".sig"), readAll(file + QLatin1String(".sig")).left(127)));
    QCOMPARE(runTool(verifyArguments).exitCode, 1);

    QFile::remove(file + QLatin1String(".sig"));
    run = runTool(verifyArguments);
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains(QLatin1String("cannot read")), qPrintable(run.err));
}

void TestReleaseTool::keygenMakesAUsablePair()
{
    const QString publicPath = work->filePath(QStringLiteral("keys/public.key"));
    const QString privatePath = work->filePath(QStringLiteral("keys/private.key"));
    QVERIFY(QDir().mkpath(work->filePath(QStringLiteral("keys"))));
    ToolRun run = runTool({QStringLiteral("keygen"), publicPath, privatePath});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(QFileInfo(publicPath).size(), qint64(KEY_BLOCK_SIZE));
    QCOMPARE(QFileInfo(privatePath).size(), qint64(KEY_BLOCK_SIZE));
    QCOMPARE(QFileInfo(privatePath).permissions()
                 & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());

    const QByteArray oldPrivate = readAll(privatePath);
    run = runTool({QStringLiteral("keygen"), publicPath, privatePath});
    QCOMPARE(run.exitCode, 4);
    QCOMPARE(readAll(privatePath), oldPrivate);

    // A release signed with the new key verifies with its public half only.
    run = runTool({QStringLiteral("release"), QStringLiteral("--type"), QStringLiteral("t"),
                   QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--source"),
                   source, QStringLiteral("--out"), mirror, QStringLiteral("--key"), privatePath});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.err.contains(QLatin1String("note:")), qPrintable(run.err));
    const QString iniPath = QDir(mirror).filePath(QStringLiteral("1/t.ini"));
    QVERIFY(signatureValid(readAll(publicPath), iniPath));
    QVERIFY(!signatureValid(builtInKey(), iniPath));
    QCOMPARE(runTool({QStringLiteral("verify"), iniPath}).exitCode, 1);
    QCOMPARE(
        runTool({QStringLiteral("verify"), iniPath, QStringLiteral("--key"), publicPath}).exitCode,
        0);
}

void TestReleaseTool::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString release = QStringLiteral("release");
    const auto base = [](const QString &type, const QString &version, const QString &key) {
        return QStringList {QStringLiteral("release"),
                            QStringLiteral("--type"),
                            type,
                            QStringLiteral("--version"),
                            version,
                            QStringLiteral("--source"),
                            QStringLiteral("@SOURCE@"),
                            QStringLiteral("--out"),
                            QStringLiteral("@MIRROR@"),
                            QStringLiteral("--key"),
                            key};
    };
    const QString type = QStringLiteral("client_linux_amd64");
    const QString one = QStringLiteral("1");

    QTest::newRow("no command") << QStringList() << 2 << QStringLiteral("Usage:");
    QTest::newRow("unknown command")
        << QStringList {QStringLiteral("publish")} << 2 << QStringLiteral("unknown command");
    QTest::newRow("unknown option")
        << QStringList {release, QStringLiteral("--typo")} << 2 << QStringLiteral("typo");
    QTest::newRow("missing options") << QStringList {release, QStringLiteral("--type"), type} << 2
                                     << QStringLiteral("missing --version, --source, --out, --key");
    QTest::newRow("option twice") << (base(type, one, PRIVATE_KEY)
                                      << QStringLiteral("--version") << one)
                                  << 2 << QStringLiteral("--version may be given once");
    QTest::newRow("version not a number")
        << base(type, QStringLiteral("1.2"), PRIVATE_KEY) << 2 << QStringLiteral("invalid version");
    QTest::newRow("type with a slash") << base(QStringLiteral("a/b"), one, PRIVATE_KEY) << 2
                                       << QStringLiteral("invalid client type");
    QTest::newRow("reserved section")
        << (base(type, one, PRIVATE_KEY) << QStringLiteral("--section") << QStringLiteral("delete"))
        << 2 << QStringLiteral("reserved");
    QTest::newRow("delete a file of the release")
        << (base(type, one, PRIVATE_KEY) << QStringLiteral("--delete") << QStringLiteral("bin"))
        << 2 << QStringLiteral("bin/client, which is part of the release");
    QTest::newRow("delete outside the installation")
        << (base(type, one, PRIVATE_KEY) << QStringLiteral("--delete") << QStringLiteral("../x"))
        << 2 << QStringLiteral("not a clean relative path");
    QTest::newRow("gzip a missing file")
        << (base(type, one, PRIVATE_KEY) << QStringLiteral("--gzip") << QStringLiteral("nope")) << 3
        << QStringLiteral("--gzip nope: no such file");
    QTest::newRow("public key to sign")
        << base(type, one, PUBLIC_KEY_FILE) << 3 << QStringLiteral("is a public key");
    QTest::newRow("missing key file") << base(type, one, QStringLiteral("/nonexistent/private.key"))
                                      << 3 << QStringLiteral("cannot load the private key");
    QStringList missingSource = base(type, one, PRIVATE_KEY);
    missingSource[6] = QStringLiteral("@SOURCE@/nonexistent");
    QTest::newRow("missing source") << missingSource << 3 << QStringLiteral("is not a directory");
    QStringList mirrorInSource = base(type, one, PRIVATE_KEY);
    mirrorInSource[8] = QStringLiteral("@SOURCE@/mirror");
    QTest::newRow("mirror inside the source")
        << mirrorInSource << 2 << QStringLiteral("lies inside the source");
    QTest::newRow("sign without key")
        << QStringList {QStringLiteral("sign"), QStringLiteral("file")} << 2
        << QStringLiteral("--key PRIVATE is required");
    QTest::newRow("keygen with one file")
        << QStringList {QStringLiteral("keygen"), QStringLiteral("public.key")} << 2
        << QStringLiteral("missing arguments");
    QTest::newRow("verify with two files")
        << QStringList {QStringLiteral("verify"), QStringLiteral("a"), QStringLiteral("b")} << 2
        << QStringLiteral("unexpected argument \"b\"");
}

void TestReleaseTool::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    arguments.replaceInStrings(QStringLiteral("@SOURCE@"), source);
    arguments.replaceInStrings(QStringLiteral("@MIRROR@"), mirror);

    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    // A refused release writes nothing.
    QVERIFY(!QFileInfo::exists(mirror));
    QVERIFY(!QFileInfo::exists(QDir(source).filePath(QStringLiteral("mirror"))));
}

void TestReleaseTool::treeEntries_data()
{
    QTest::addColumn<QStringList>("entries"); // what to add to the tree, see treeEntries()
    QTest::addColumn<bool>("follow");
    QTest::addColumn<int>("exitCode");
    // Expected on standard error, one each; @SOURCE@ and @OUTSIDE@ (a file beside the tree)
    // stand for their paths.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("published"); // extra keys of the manifest on success
    QTest::addColumn<QString>("emptyDirectories"); // the manifest's directories_empty

    QTest::newRow("directory link")
        << QStringList {"dirlink linked"} << false << 3
        << QStringList {"directory link: linked -> @SOURCE@/bin (leads to bin; pass"}
        << QStringList() << QString();
    QTest::newRow("directory link, followed")
        << QStringList {"dirlink linked"} << true << 0 << QStringList()
        << QStringList {"linked/client"} << QString();
    QTest::newRow("directory link to an ancestor, followed")
        << QStringList {"looplink"} << true << 3
        << QStringList {"directory link loop: bin/up -> .. (leads to the top of the tree)"}
        << QStringList() << QString();
    QTest::newRow("dangling link")
        << QStringList {"dangling gone"} << false << 3
        << QStringList {"dangling link: gone -> nowhere"} << QStringList() << QString();
    QTest::newRow("name not UTF-8")
        << QStringList {"badname"} << false << 3 << QStringList {"name is not valid UTF-8: bad"}
        << QStringList() << QString();
    QTest::newRow("fifo") << QStringList {"fifo pipe"} << false << 3
                          << QStringList {"not a regular file: pipe"} << QStringList() << QString();
    QTest::newRow("every problem on a line of its own")
        << QStringList {"dangling gone", "dirlink linked", "fifo pipe"} << false << 3
        << QStringList {"dangling link: gone -> nowhere", "directory link: linked -> ",
                        "not a regular file: pipe"}
        << QStringList() << QString();
    QTest::newRow("file link publishes its target")
        << QStringList {"filelink client-link"} << false << 0 << QStringList()
        << QStringList {"client-link"} << QString();
    QTest::newRow("relative file link inside the tree")
        << QStringList {"rellink data/client-link"} << true << 0 << QStringList()
        << QStringList {"data/client-link"} << QString();
    // Whatever the options: a link out of the tree would ship the build machine's file.
    QTest::newRow("absolute link out of the tree")
        << QStringList {"outlink hostfile @OUTSIDE@"} << true << 3
        << QStringList {"link leaves the source tree: hostfile -> @OUTSIDE@ (leads to "
                        "@OUTSIDE@)"}
        << QStringList() << QString();
    QTest::newRow("relative link out of the tree")
        << QStringList {"outlink data/escape ../../outside"} << false << 3
        << QStringList {"link leaves the source tree: data/escape -> ../../outside (leads to "
                        "@OUTSIDE@)"}
        << QStringList() << QString();
    QTest::newRow("chain of links out of the tree")
        << QStringList {"outlink hop hop2", "outlink hop2 ../outside"} << false << 3
        << QStringList {"link leaves the source tree: hop -> hop2 (leads to @OUTSIDE@)",
                        "link leaves the source tree: hop2 -> ../outside (leads to @OUTSIDE@)"}
        << QStringList() << QString();
    QTest::newRow("directory link out of the tree, followed")
        << QStringList {"outdirlink etc"} << true << 3
        << QStringList {"link leaves the source tree: etc -> @OUTSIDE@dir (leads to "
                        "@OUTSIDE@dir)"}
        << QStringList() << QString();
    QTest::newRow("empty directories are published")
        << QStringList {"emptydir nothing", "emptydir data/cache/deep"} << false << 0
        << QStringList() << QStringList() << QStringLiteral("data/cache/deep::nothing");
}

void TestReleaseTool::treeEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, follow);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, published);
    QFETCH(QString, emptyDirectories);

    // Beside the tree, as a build machine's files are.
    const QString outside = QFileInfo(work->path()).canonicalFilePath() + QLatin1String("/outside");
    QVERIFY(writeFile(outside, "secret of the build machine"));
    QVERIFY(writeFile(outside + QLatin1String("dir/passwd"), "root:x:0:0"));
    QByteArray undecodable;
    const auto removeUndecodable = qScopeGuard([&undecodable] {
        if (!undecodable.isEmpty())
            ::unlink(undecodable.constData());
    });
    for (const QString &entry : entries) {
        const QString kind = entry.section(' ', 0, 0);
        const QByteArray at = QFile::encodeName(QDir(source).filePath(entry.section(' ', 1, 1)));
        const QByteArray bin = QFile::encodeName(QDir(source).filePath("bin"));
        const QByteArray target
            = QFile::encodeName(entry.section(' ', 2, 2).replace("@OUTSIDE@", outside));
        if (kind == "dirlink")
            QCOMPARE(::symlink(bin.constData(), at.constData()), 0);
        else if (kind == "looplink")
            QCOMPARE(::symlink("..", (bin + "/up").constData()), 0);
        else if (kind == "dangling")
            QCOMPARE(::symlink("nowhere", at.constData()), 0);
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(at.constData(), 0600), 0);
        else if (kind == "filelink")
            QCOMPARE(::symlink((bin + "/client").constData(), at.constData()), 0);
        else if (kind == "rellink")
            QCOMPARE(::symlink("../bin/client", at.constData()), 0);
        else if (kind == "outlink")
            QCOMPARE(::symlink(target.constData(), at.constData()), 0);
        else if (kind == "outdirlink")
            QCOMPARE(::symlink(QFile::encodeName(outside + "dir").constData(), at.constData()), 0);
        else if (kind == "emptydir")
            QVERIFY(QDir(source).mkpath(entry.section(' ', 1, 1)));
        else if (kind == "badname") {
            const QByteArray name = QFile::encodeName(source) + "/bad\xff\xfe.txt";
            const int fd = ::open(name.constData(), O_CREAT | O_WRONLY, 0600);
            QVERIFY(fd >= 0);
            ::close(fd);
            // Qt cannot remove a name it cannot decode: the work directory would stay behind.
            undecodable = name;
        }
    }

    QStringList arguments = releaseArguments();
    if (follow)
        arguments << QStringLiteral("--follow-dir-links");
    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList errLines = run.err.split('\n', Qt::SkipEmptyParts);
    for (QString line : lines) {
        line.replace(QLatin1String("@SOURCE@"), QDir(source).absolutePath())
            .replace(QLatin1String("@OUTSIDE@"), outside);
        QVERIFY2(errLines.filter(QStringLiteral("varnolt-release release: ") + line).size() == 1,
                 qPrintable(run.err));
    }
    const QString iniPath = QDir(mirror).filePath(QStringLiteral("42/client_linux_amd64.ini"));
    if (exitCode != 0) {
        QCOMPARE(errLines.size(), lines.size());
        QVERIFY(!QFileInfo::exists(iniPath));
        return;
    }
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    QSettings ini(iniPath, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("directories_empty")).toString(), emptyDirectories);
    ini.beginGroup(QStringLiteral("client_linux_amd64"));
    QCOMPARE(ini.allKeys().size(), tree.size() + published.size());
    for (const QString &key : published) {
        QCOMPARE(ini.value(key).toString(),
                 md5Of(tree.value("bin/client"))
                     + "::" + QString::number(tree.value("bin/client").size()));
    }
}

void TestReleaseTool::help()
{
    ToolRun run = runTool({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains(QLatin1String("Exit codes:")));
    QVERIFY(run.out.contains(QLatin1String("keygen")));

    run = runTool({QStringLiteral("release"), QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    for (const char *expected :
         {"--gzip", "--delete", "--force", "MIRRORDIR/N/TYPE.ini.sig", "Exit codes:"})
        QVERIFY2(run.out.contains(QLatin1String(expected)), expected);
}

void TestReleaseTool::previousReleaseNamesStaleFiles()
{
    // Version 41 has files 42 drops, deletes one file for good and one that 42 brings back.
    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("old/gone.txt")), "gone"));
    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("lib/libold.so")), "old"));
    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("lib/libpacked.so")), "packed"));
    for (const char *empty : {"cache/tmp", "data/spool", "logs"})
        QVERIFY(QDir(source).mkpath(QLatin1String(empty)));
    ToolRun run = runTool(releaseArguments(QStringLiteral("41")) << "--delete"
                                                                 << "legacy/tool"
                                                                 << "--delete"
                                                                 << "data/back"
                                                                 << "--gzip"
                                                                 << "lib/libpacked.so");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(QDir(QDir(source).filePath(QStringLiteral("old"))).removeRecursively());
    for (const char *removed : {"lib/libold.so", "lib/libpacked.so"})
        QVERIFY(QFile::remove(QDir(source).filePath(QLatin1String(removed))));
    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("data/back")), "back"));
    // The cache goes, the spool stays empty, the logs get a file.
    QVERIFY(QDir(QDir(source).filePath(QStringLiteral("cache"))).removeRecursively());
    QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("logs/today")), "log"));

    run = runTool(releaseArguments() << "--previous"
                                     << "41"
                                     << "--delete"
                                     << "extra");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QSettings ini(QDir(mirror).filePath(QStringLiteral("42/client_linux_amd64.ini")),
                  QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("delete"));
    QStringList deleted = ini.allKeys();
    deleted.sort();
    // The packed file is named by where it was unpacked, not by its stored name.
    QCOMPARE(deleted,
             (QStringList {"extra", "legacy/tool", "lib/libold.so", "lib/libpacked.so",
                           "old/gone.txt"}));
    ini.endGroup();
    // Directories that held files or nothing in 41 and nothing of 42 go when empty.
    QCOMPARE(ini.value(QStringLiteral("directories_dropped")).toString(),
             QStringLiteral("cache::cache/tmp::old"));
    QCOMPARE(ini.value(QStringLiteral("directories_empty")).toString(),
             QStringLiteral("data/spool"));

    // What the earlier release says is deleted from users' installations: it must be one this
    // key signed.
    const QString earlier = QDir(mirror).filePath(QStringLiteral("41/client_linux_amd64.ini"));
    QVERIFY(writeFile(earlier, readAll(earlier) + "\n[x]\nlib/libx.so=0::0\n"));
    run = runTool(releaseArguments(QStringLiteral("43")) << "--previous"
                                                         << "41");
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains(QLatin1String("is not a release signed with")), qPrintable(run.err));
    run = runTool(releaseArguments(QStringLiteral("43")) << "--previous"
                                                         << "40");
    QCOMPARE(run.exitCode, 3);
}

void TestReleaseTool::publishingSyncsOnce()
{
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QSKIP("strace is not installed");
    // Twenty files more: a sync per file would show.
    for (int i = 0; i < 20; ++i)
        QVERIFY(writeFile(QDir(source).filePath(QStringLiteral("many/f%1").arg(i)), "x"));
    const QString trace = work->filePath(QStringLiteral("trace"));
    QProcess process;
    // The leak check of a sanitizer build cannot work under a tracer.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS"))
                           + QLatin1String(":detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("strace"),
                  QStringList {"-f", "-qq", "-o", trace, "-e", "trace=fsync,fdatasync,syncfs,sync",
                               QStringLiteral(VARNOLT_RELEASE_EXE)}
                      + (releaseArguments() << "--gzip"
                                            << "lib/libx.so"));
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QList<QByteArray> calls = readAll(trace).split('\n');
    int fileSyncs = 0;
    int fileSystemSyncs = 0;
    for (const QByteArray &call : calls) {
        if (call.contains("fsync(") || call.contains("fdatasync("))
            ++fileSyncs;
        if (call.contains("syncfs("))
            ++fileSystemSyncs;
    }
    // The tree once; the few file syncs are the manifest's own save, the signature and its
    // directory, none per file of the tree.
    QCOMPARE(fileSystemSyncs, 1);
    QVERIFY2(fileSyncs <= 5, readAll(trace).constData());
}

void TestReleaseTool::blockListsForLargeFiles_data()
{
    QTest::addColumn<bool>("packed");
    QTest::addColumn<QString>("damaged"); // a file to change after publishing, for verify
    QTest::addColumn<QString>("complaint"); // what verify says of it

    const QString list = QStringLiteral("client_linux_amd64/lib/libx.so::blocks");
    QTest::newRow("stored as it is") << false << QString() << QString();
    QTest::newRow("stored compressed") << true << QString() << QString();
    QTest::newRow("list not the one bound")
        << false << list << QStringLiteral("list file @/") + list + " does NOT match: SHA-256";
    QTest::newRow("compressed list not the list")
        << false << list + ".gz"
        << QStringLiteral("gzip form @/") + list + ".gz does NOT match: it inflates to other bytes";
    QTest::newRow("digests file not the one bound")
        << false << QStringLiteral("client_linux_amd64.digests")
        << QStringLiteral("digests file @/client_linux_amd64.digests does NOT match: SHA-256");
}

void TestReleaseTool::blockListsForLargeFiles()
{
    QFETCH(bool, packed);
    QFETCH(QString, damaged);
    QFETCH(QString, complaint);

    // lib/libx.so (70000 bytes) is large enough, the others are not.
    QStringList arguments = releaseArguments() << "--block-lists-from"
                                               << "60000"
                                               << "--gzip"
                                               << "data/a b,c.txt";
    if (packed)
        arguments << "--gzip"
                  << "lib/libx.so";
    ToolRun run = runTool(arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString versionDir = QDir(mirror).filePath(QStringLiteral("42"));
    const QString path = packed ? QStringLiteral("client_linux_amd64/lib/libx.so.gz")
                                : QStringLiteral("client_linux_amd64/lib/libx.so");

    // The side file holds the lists as before, where updaters that read them from it find them.
    QFile side(QDir(versionDir).filePath(QStringLiteral("client_linux_amd64.hashes")));
    QVERIFY(side.open(QIODevice::ReadOnly));
    const QByteArray sideBytes = side.readAll();
    QVERIFY(side.seek(0));
    QHash<QString, SideFile::FileLines> wanted {{path, {}}};
    SideFile::lookUpFileLines(&side, &wanted);
    BlockList blocks;
    QString listed;
    QString problem;
    QVERIFY2(BlockList::fromLine(wanted.value(path).blocks, &blocks, &listed, &problem),
             qPrintable(problem));
    QCOMPARE(listed, path);
    QCOMPARE(sideBytes.count("\nblocks "), 1);
    QCOMPARE(wanted.value(path).points.isEmpty(), !packed);
    // The side file keeps 4 KiB blocks for a file stored as it is, as the updaters reading it
    // always had; a compressed file's list must match its access points (2 KiB blocks).
    QCOMPARE(blocks.blockSize(), packed ? qint64(2048) : qint64(4096));
    QBuffer content;
    content.setData(tree.value(QStringLiteral("lib/libx.so")));
    QVERIFY(content.open(QIODevice::ReadOnly));
    BlockList expected;
    QVERIFY(BlockList::build(&content, blocks.blockSize(), &expected, &problem));
    QVERIFY(blocks == expected);

    // The list file: the header and the file's lines as the side file has them, with blocks of
    // 1 KiB for a small file stored as it is.
    const QString listPath = QDir(versionDir).filePath(SideFile::listPathOf(path));
    const QByteArray list = readAll(listPath);
    QFile listFile(listPath);
    QVERIFY(listFile.open(QIODevice::ReadOnly));
    QHash<QString, SideFile::FileLines> fromList {{path, {}}};
    SideFile::lookUpFileLines(&listFile, &fromList);
    BlockList fine;
    QVERIFY2(BlockList::fromLine(fromList.value(path).blocks, &fine, &listed, &problem),
             qPrintable(problem));
    QCOMPARE(fine.blockSize(), packed ? qint64(2048) : qint64(1024));
    QVERIFY(content.seek(0));
    QVERIFY(BlockList::build(&content, fine.blockSize(), &expected, &problem));
    QVERIFY(fine == expected);
    QByteArray lines = fromList.value(path).blocks + '\n';
    if (packed) {
        lines += wanted.value(path).points + '\n';
        lines += "sha256-unpacked " + wanted.value(path).unpackedSha256.toHex() + ' '
            + path.toUtf8() + '\n';
        QVERIFY(sideBytes.contains('\n' + lines));
    }
    QCOMPARE(list, SideFile::Header + '\n' + lines);
    QCOMPARE(gunzip(listPath + QLatin1String(".gz")), list);

    // The digests file: the side file's digests, and the one list bound by SHA-256 and size.
    ReleaseBinding binding;
    QVERIFY(ReleaseBinding::parse(
        readAll(QDir(versionDir).filePath(QStringLiteral("client_linux_amd64.ini"))), &binding,
        &problem));
    const QByteArray digests = readAll(QDir(versionDir).filePath(binding.digestsFile));
    QCOMPARE(Sha256::hash(digests), binding.digestsFileSha256);
    SideFile fromDigests;
    SideFile fromSide;
    QVERIFY(SideFile::parse(digests, &fromDigests, &problem));
    QVERIFY(SideFile::parse(sideBytes, &fromSide, &problem));
    QCOMPARE(fromDigests.sha256, fromSide.sha256);
    QHash<QString, SideFile::ListBinding> bindings;
    for (const QString &file : fromSide.sha256.keys())
        bindings.insert(file, {});
    QVERIFY2(SideFile::lookUpLists(digests, &bindings, &problem), qPrintable(problem));
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
        QCOMPARE(it->sha256.isEmpty(), it.key() != path);
        QVERIFY(!QFileInfo::exists(QDir(versionDir).filePath(SideFile::listPathOf(it.key())))
                || it.key() == path);
    }
    QCOMPARE(bindings.value(path).sha256, Sha256::hash(list));
    QCOMPARE(bindings.value(path).size, qint64(list.size()));
    QVERIFY(!digests.contains("\nblocks "));
    QCOMPARE(gunzip(QDir(versionDir).filePath(binding.digestsFile) + QLatin1String(".gz")),
             digests);

    // verify checks the files beside the ini: each as bound, each compressed form its bytes.
    const QString ini = QDir(versionDir).filePath(QStringLiteral("client_linux_amd64.ini"));
    const QStringList verify {"verify", ini, "--key", PUBLIC_KEY_FILE};
    run = runTool(verify);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QVERIFY2(run.out.contains(QLatin1String("1 of 1 list files match")), qPrintable(run.out));
    if (!damaged.isEmpty()) {
        // The same size, other bytes; a compressed list that inflates to another list.
        const QString file = QDir(versionDir).filePath(damaged);
        QByteArray bytes = damaged.endsWith(QLatin1String(".gz")) ? gunzip(file) : readAll(file);
        bytes[bytes.size() - 2] = bytes.at(bytes.size() - 2) == 'x' ? 'y' : 'x';
        QVERIFY(writeFile(file, damaged.endsWith(QLatin1String(".gz")) ? gzipped(bytes) : bytes));
        run = runTool(verify);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains(QString(complaint).replace(QLatin1Char('@'), versionDir)),
                 qPrintable(run.out));
    }
    QCOMPARE(runTool(releaseArguments() << "--block-lists-from"
                                        << "-1")
                 .exitCode,
             2);
}

void TestReleaseTool::costOfAnUpdate()
{
    // One byte changed in a 64 KiB file costs its 1 KiB block; an unchanged file costs nothing.
    QByteArray big(65536, Qt::Uninitialized);
    for (char &byte : big)
        byte = char(QRandomGenerator::global()->bounded(256));
    const QString from = work->filePath(QStringLiteral("from"));
    const QString to = work->filePath(QStringLiteral("to"));
    QVERIFY(writeFile(from + QLatin1String("/data/big"), big));
    QVERIFY(writeFile(from + QLatin1String("/same"), "same"));
    QVERIFY(writeFile(from + QLatin1String("/large-same"), big));
    big[10000] = char(big.at(10000) ^ 1);
    QVERIFY(writeFile(to + QLatin1String("/data/big"), big));
    QVERIFY(writeFile(to + QLatin1String("/same"), "same"));
    QVERIFY(writeFile(to + QLatin1String("/new"), "new"));
    // Its list stays on the mirror: only the changed file's travels.
    QVERIFY(writeFile(to + QLatin1String("/large-same"), readAll(from + "/large-same")));

    ToolRun run = runTool({"cost", "--from", from, "--to", to, "--block-lists-from", "60000"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains(QLatin1String("changed data/big: 65536 bytes whole, 1024 with block "
                                            "lists (1.6 %)")),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QLatin1String("new     new: 3 bytes whole, 3 with block lists")),
             qPrintable(run.out));
    QVERIFY(!run.out.contains(QLatin1String("same")));
    QVERIFY2(run.out.contains(QLatin1String("Total: 2 of 4 files changed or new; 65539 bytes "
                                            "whole")),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QLatin1String("Fetched by a run with nothing to do: pass --release")),
             qPrintable(run.out));
    QCOMPARE(runTool({"cost", "--from", from}).exitCode, 2);

    // With the published release, what an update fetches in all: the compressed ini, its
    // signature, the compressed digests file and the changed file's compressed list, and the
    // headers of six requests (four for them, one for the changed block, one for the new
    // file), 445 bytes each and its path.
    source = to;
    run = runTool(releaseArguments() << "--block-lists-from"
                                     << "60000");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString versionDir = QDir(mirror).filePath(QStringLiteral("42"));
    const QString ini = QDir(versionDir).filePath(QStringLiteral("client_linux_amd64.ini"));
    const auto sizeOf = [&](const char *name) {
        return QFileInfo(QDir(versionDir).filePath(QLatin1String(name))).size();
    };
    const qint64 metadata = sizeOf("client_linux_amd64.ini.gz")
        + sizeOf("client_linux_amd64.ini.sig") + sizeOf("client_linux_amd64.digests.gz");
    const qint64 list = sizeOf("client_linux_amd64/data/big::blocks.gz");
    QVERIFY(list > 0 && sizeOf("client_linux_amd64/large-same::blocks.gz") > 0);
    const QByteArray metadataPaths = "/42/client_linux_amd64.ini.gz"
                                     "/42/client_linux_amd64.ini.sig"
                                     "/42/client_linux_amd64.digests.gz";
    run = runTool(
        {"cost", "--from", from, "--to", to, "--block-lists-from", "60000", "--release", ini});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains(QStringLiteral("Fetched by an update: %1 bytes in 6 requests")
                                  .arg(1024 + 3 + metadata + list + 6 * 445 + metadataPaths.size()
                                       + QByteArray("/42/client_linux_amd64/data/big%3A%3Ablocks.gz"
                                                    "/42/client_linux_amd64/data/big"
                                                    "/42/client_linux_amd64/new")
                                             .size())),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("block lists %1,").arg(list)), qPrintable(run.out));
    // A run with nothing to do and no kept copy of the release fetches what every run begins
    // with, in three requests.
    QVERIFY2(run.out.contains(
                 QStringLiteral("Fetched by a run with nothing to do: nothing with the release "
                                "kept in the installation; without it %1 bytes in 3 requests")
                     .arg(metadata + 3 * 445 + metadataPaths.size())),
             qPrintable(run.out));
    QCOMPARE(runTool({"cost", "--from", from, "--to", to, "--release", from}).exitCode, 3);

    // A release that publishes no list of the file: an update fetches it whole.
    QCOMPARE(runTool(releaseArguments(QStringLiteral("43"))).exitCode, 0);
    run = runTool({"cost", "--from", from, "--to", to, "--block-lists-from", "60000", "--release",
                   QDir(mirror).filePath(QStringLiteral("43/client_linux_amd64.ini"))});
    QVERIFY2(run.out.contains(QLatin1String("changed data/big: 65536 bytes whole, 65536 with "
                                            "block lists")),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QLatin1String(", block lists 0, ")), qPrintable(run.out));
}

QTEST_GUILESS_MAIN(TestReleaseTool)
#include "tst_releasetool.moc"
