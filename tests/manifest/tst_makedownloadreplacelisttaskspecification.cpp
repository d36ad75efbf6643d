#include "app/configuration.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"
#include "taskrun.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

// Building the download, replace and delete lists from a product ini against real files in the
// installation directory (the test's own directory) and a temporary directory.
class TestMakeDownloadReplaceList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileEntry_data();
    void fileEntry();
    void recordsCarryTheValueParts();
    void orderAndProgress();
    void deleteSection();
    void sharedTemporaryFile();
    void invalidLine_data();
    void invalidLine();
    void noFiles_data();
    void noFiles();
    void unsafePath_data();
    void unsafePath();
    void contradictoryProductIni_data();
    void contradictoryProductIni();
    void malformedProductIni_data();
    void malformedProductIni();
    void repeatedRuns();
    void releaseDirectories();
    void deletedFilesTakeTheirDirectories();

private:
    struct Outcome : TaskRun
    {
        // The task's own figure once the run ended.
        double finalProgress = 0;
    };

    Outcome run(FileSpecifications &target, double share = 1.0);
    QString iniPath() const;
    void writeIni(const QByteArray &text);

    QString installDir;
    QScopedPointer<QTemporaryDir> temp;
    Configuration configuration;
};

namespace {

// Everything the tests install lies below this directory of the installation directory.
const QString Root = QStringLiteral("tst_makelists");
const QString Compiling = QStringLiteral("Compiling download and replace list");
const QString NoFiles = QStringLiteral("no files in product ini");

QString at(const QString &relative)
{
    return Root + QLatin1Char('/') + relative;
}

QStringList downloadPaths(const FileSpecifications &lists)
{
    QStringList paths;
    for (const FileDownloadSpecification &spec : lists.downloadList)
        paths << spec.section + QLatin1Char(':') + spec.filePath;
    return paths;
}

QStringList replacePaths(const FileSpecifications &lists)
{
    QStringList paths;
    for (const FileReplaceSpecification &spec : lists.replaceList)
        paths << spec.section + QLatin1Char(':') + spec.pureDestFilePath();
    return paths;
}

// Lists a failed run must leave alone.
FileSpecifications sentinelLists()
{
    FileSpecifications lists;
    lists.downloadList.append({QStringLiteral("s"), QStringLiteral("old"), QString(), 1});
    lists.replaceList.append({QStringLiteral("s"), QStringLiteral("old"), QString(), 0, QString()});
    lists.deleteList.append(QStringLiteral("old"));
    return lists;
}

void compareLists(const FileSpecifications &actual, const FileSpecifications &expected)
{
    QCOMPARE(downloadPaths(actual), downloadPaths(expected));
    QCOMPARE(replacePaths(actual), replacePaths(expected));
    QCOMPARE(actual.deleteList, expected.deleteList);
}

} // namespace

void TestMakeDownloadReplaceList::initTestCase()
{
    installDir = Configuration::getAppRootPath();
    configuration.clientType = QStringLiteral("client_linux_amd64");
}

void TestMakeDownloadReplaceList::init()
{
    QVERIFY(QDir(installDir).mkpath(Root));
    temp.reset(new QTemporaryDir);
    QVERIFY(temp->isValid());
    configuration.tempDir = temp->path();
    configuration.sideFilePath.clear();
}

void TestMakeDownloadReplaceList::cleanup()
{
    QDir(installDir + QLatin1Char('/') + Root).removeRecursively();
    temp.reset();
}

TestMakeDownloadReplaceList::Outcome TestMakeDownloadReplaceList::run(FileSpecifications &target,
                                                                      double share)
{
    MakeDownloadReplaceListTaskSpecification task(&configuration, target, nullptr, share);
    Outcome outcome;
    static_cast<TaskRun &>(outcome) = runTask(task);
    outcome.finalProgress = task.progress;
    return outcome;
}

QString TestMakeDownloadReplaceList::iniPath() const
{
    return temp->filePath(configuration.clientType + QLatin1String(".ini"));
}

void TestMakeDownloadReplaceList::writeIni(const QByteArray &text)
{
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), qint64(text.size()));
}

void TestMakeDownloadReplaceList::fileEntry_data()
{
    // format: "plain" (MD5::SIZE), "packed" (five parts), "blank" (five parts, the last three
    // empty). What lies at the installed path and at the key's path in the temporary directory:
    // "none", "right" (the expected content there), "old", "stored" (the stored bytes of a
    // packed file), "unpacked" (its unpacked bytes).
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("stashed");
    QTest::addColumn<bool>("upperCase");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("downloaded");
    // The release's side file: "" none, "listed" with the stored file's SHA-256, "other" with
    // another one (what a copy that only collides in MD5 meets), "absent" without the file.
    QTest::addColumn<QString>("strong");

    QTest::newRow("installed") << "plain"
                               << "right"
                               << "none" << false << false << false << QString();
    QTest::newRow("installed, upper case") << "plain"
                                           << "right"
                                           << "none" << true << false << false << QString();
    QTest::newRow("installed, stale temp copy") << "plain"
                                                << "right"
                                                << "old" << false << false << false << QString();
    QTest::newRow("changed") << "plain"
                             << "old"
                             << "none" << false << true << true << QString();
    QTest::newRow("missing") << "plain"
                             << "none"
                             << "none" << false << true << true << QString();
    QTest::newRow("missing, fetched before") << "plain"
                                             << "none"
                                             << "right" << false << true << false << QString();
    QTest::newRow("changed, fetched before, upper case")
        << "plain"
        << "old"
        << "right" << true << true << false << QString();
    QTest::newRow("missing, broken temp copy") << "plain"
                                               << "none"
                                               << "old" << false << true << true << QString();

    QTest::newRow("packed, installed") << "packed"
                                       << "right"
                                       << "none" << false << false << false << QString();
    QTest::newRow("packed, installed, upper case") << "packed"
                                                   << "right"
                                                   << "none" << true << false << false << QString();
    // The installed file is compared with the unpacked MD5, not with the stored one.
    QTest::newRow("packed, stored bytes installed") << "packed"
                                                    << "stored"
                                                    << "none" << false << true << true << QString();
    QTest::newRow("packed, missing") << "packed"
                                     << "none"
                                     << "none" << false << true << true << QString();
    // The temporary copy is the stored file, compared with the stored MD5.
    QTest::newRow("packed, fetched before") << "packed"
                                            << "old"
                                            << "stored" << false << true << false << QString();
    QTest::newRow("packed, unpacked bytes in temp")
        << "packed"
        << "none"
        << "unpacked" << false << true << true << QString();

    QTest::newRow("blank, installed") << "blank"
                                      << "right"
                                      << "none" << false << false << false << QString();
    QTest::newRow("blank, changed, fetched before")
        << "blank"
        << "old"
        << "right" << false << true << false << QString();
    QTest::newRow("blank, missing") << "blank"
                                    << "none"
                                    << "none" << false << true << true << QString();

    QTest::newRow("side file, missing") << "plain"
                                        << "none"
                                        << "none" << false << true << true << "listed";
    QTest::newRow("side file, fetched before") << "plain"
                                               << "none"
                                               << "right" << false << true << false << "listed";
    QTest::newRow("side file, fetched before, SHA-256 differs")
        << "plain"
        << "none"
        << "right" << false << true << true << "other";
    QTest::newRow("side file, packed, fetched before")
        << "packed"
        << "old"
        << "stored" << false << true << false << "listed";
    // An installation that is up to date never needs the side file.
    QTest::newRow("side file without the file, installed")
        << "plain"
        << "right"
        << "none" << false << false << false << "absent";
    QTest::newRow("side file without the file, missing")
        << "plain"
        << "none"
        << "none" << false << true << true << "absent";
}

void TestMakeDownloadReplaceList::fileEntry()
{
    QFETCH(QString, format);
    QFETCH(QString, installed);
    QFETCH(QString, stashed);
    QFETCH(bool, upperCase);
    QFETCH(bool, replaced);
    QFETCH(bool, downloaded);
    QFETCH(QString, strong);

    const bool packed = format == QLatin1String("packed");
    const QByteArray unpacked("client build 2");
    const QByteArray stored = packed ? QByteArray("packed client build 2") : unpacked;
    const QString key = packed ? at("bin/client.gz") : at("bin/client");
    const QString destination = at("bin/client");
    const auto contentFor = [&](const QString &which, const QByteArray &right) {
        if (which == QLatin1String("right"))
            return right;
        if (which == QLatin1String("stored"))
            return stored;
        if (which == QLatin1String("unpacked"))
            return unpacked;
        return QByteArray("client build 1");
    };
    if (installed != QLatin1String("none"))
        writeTreeFile(installDir, destination, contentFor(installed, unpacked));
    if (stashed != QLatin1String("none"))
        writeTreeFile(temp->path(), key, contentFor(stashed, stored));
    // A file at the key's path in the installation says nothing about a packed entry.
    if (packed)
        writeTreeFile(installDir, key, stored);

    // Sizes deliberately off: only the MD5 sums decide.
    const auto md5Text
        = [&](const QByteArray &data) { return upperCase ? md5Of(data).toUpper() : md5Of(data); };
    QString value = md5Text(stored) + "::" + QString::number(stored.size() + 7);
    if (packed)
        value += "::" + md5Text(unpacked) + "::" + QString::number(unpacked.size() + 7)
            + "::" + destination;
    else if (format == QLatin1String("blank"))
        value += "::::::";
    writeIni(QStringLiteral("[client]\n%1=%2\n").arg(key, value).toUtf8());
    const QByteArray listed = Sha256::hash(strong == QLatin1String("other") ? "other" : stored);
    configuration.sideFilePath.clear();
    if (!strong.isEmpty()) {
        configuration.sideFilePath = temp->filePath(QStringLiteral("client.hashes"));
        const QString path = strong == QLatin1String("absent") ? QStringLiteral("client/elsewhere")
                                                               : QStringLiteral("client/") + key;
        QVERIFY(writeFile(configuration.sideFilePath,
                          SideFile::Header + "\nsha256 " + listed.toHex() + ' ' + path.toUtf8()
                              + '\n'));
    }

    FileSpecifications target;
    const Outcome outcome = run(target);
    if (strong == QLatin1String("absent") && downloaded) {
        QCOMPARE(outcome.canceled, 1);
        QCOMPARE(outcome.messages.last(),
                 QStringLiteral("side file has no SHA-256 for %1 in section client").arg(key));
        return;
    }
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.canceled, 0);
    QCOMPARE(outcome.messages, QStringList {Compiling});
    QCOMPARE(target.replaceList.size(), replaced ? 1 : 0);
    QCOMPARE(target.downloadList.size(), downloaded ? 1 : 0);
    QVERIFY(target.deleteList.isEmpty());
    if (replaced) {
        QCOMPARE(target.replaceList.first().filePath, key);
        QCOMPARE(target.replaceList.first().hasUnzip(), packed);
        QCOMPARE(target.replaceList.first().destFileName(QString()), destination);
    }
    if (downloaded) {
        QCOMPARE(target.downloadList.first().filePath, key);
        QCOMPARE(target.downloadList.first().sha256, strong.isEmpty() ? QByteArray() : listed);
    }
}

void TestMakeDownloadReplaceList::recordsCarryTheValueParts()
{
    // An empty MD5 selects the signature check: without a signature file nothing matches.
    writeTreeFile(installDir, at("unsigned"), "data");
    writeIni(QStringLiteral("[mirror dir]\n"
                            "packed.gz=def::size::0123::18446744073709551615::lib/packed.so\n"
                            "plain=AbC::12\n"
                            "%1=::-1\n")
                 .arg(at("unsigned"))
                 .toUtf8());
    FileSpecifications target;
    QCOMPARE(run(target).finished, 1);
    QCOMPARE(target.downloadList.size(), 3);
    QCOMPARE(target.replaceList.size(), 3);

    const FileDownloadSpecification &packedDownload = target.downloadList.at(0);
    QCOMPARE(packedDownload.section, QStringLiteral("mirror dir"));
    QCOMPARE(packedDownload.filePath, QStringLiteral("packed.gz"));
    QCOMPARE(packedDownload.md5, QStringLiteral("def"));
    QCOMPARE(packedDownload.size, quint64(0));
    const FileReplaceSpecification &packedReplace = target.replaceList.at(0);
    QCOMPARE(packedReplace.section, QStringLiteral("mirror dir"));
    QCOMPARE(packedReplace.filePath, QStringLiteral("packed.gz"));
    QCOMPARE(packedReplace.unzipMd5, QStringLiteral("0123"));
    QCOMPARE(packedReplace.unzipSize, Q_UINT64_C(18446744073709551615));
    QCOMPARE(packedReplace.unzipFilePath, QStringLiteral("lib/packed.so"));

    QCOMPARE(target.downloadList.at(1).md5, QStringLiteral("AbC"));
    QCOMPARE(target.downloadList.at(1).size, quint64(12));
    const FileReplaceSpecification &plainReplace = target.replaceList.at(1);
    QCOMPARE(plainReplace.filePath, QStringLiteral("plain"));
    QVERIFY(plainReplace.unzipMd5.isEmpty());
    QCOMPARE(plainReplace.unzipSize, quint64(0));
    QVERIFY(plainReplace.unzipFilePath.isEmpty());

    QCOMPARE(target.downloadList.at(2).filePath, at("unsigned"));
    QCOMPARE(target.downloadList.at(2).size, quint64(0));
}

void TestMakeDownloadReplaceList::orderAndProgress()
{
    // The reader sorts sections and keys by character code; the order of the lines does not
    // count. Keys with "/" are files in subdirectories and are counted like the rest.
    const QString existing = at("gone");
    writeTreeFile(installDir, existing, "x");
    writeIni(QStringLiteral("[b]\n"
                            "z=1::1\n"
                            "a/b=1::1\n"
                            "a-b=1::1\n"
                            "a0=1::1\n"
                            "[delete]\n"
                            "%1=\n"
                            "missing/file=\n"
                            "[B]\n"
                            "Z=1::1\n"
                            "[a]\n"
                            "k=1::1\n")
                 .arg(existing)
                 .toUtf8());
    FileSpecifications target;
    const Outcome outcome = run(target, 0.05);
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.canceled, 0);
    const QStringList expected {"B:Z", "a:k", "b:a-b", "b:a/b", "b:a0", "b:z"};
    QCOMPARE(replacePaths(target), expected);
    QCOMPARE(downloadPaths(target), expected);
    QCOMPARE(target.deleteList, QStringList {existing});

    // One step per key, the delete section's included, then the finish.
    const int count = 8;
    QCOMPARE(outcome.progress.size(), count + 1);
    for (int i = 0; i < count; ++i)
        QVERIFY(qFuzzyCompare(outcome.progress.at(i), 0.05 * (i + 1) / count));
    QCOMPARE(outcome.progress.last(), 0.05);
    QCOMPARE(outcome.finalProgress, 0.05);
}

void TestMakeDownloadReplaceList::deleteSection()
{
    writeTreeFile(installDir, at("old/file"), "x");
    QVERIFY(QDir(installDir).mkpath(at("emptydir")));
    writeIni(QStringLiteral("[delete]\n%1=\n%2=ignored\n%3=\n")
                 .arg(at("old/file"), at("emptydir"), at("never/there"))
                 .toUtf8());
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.messages, QStringList {Compiling});
    QVERIFY(target.downloadList.isEmpty());
    QVERIFY(target.replaceList.isEmpty());
    QCOMPARE(target.deleteList, (QStringList {at("emptydir"), at("old/file")}));

    // Only the lower-case name is the delete section.
    writeIni(QStringLiteral("[Delete]\n%1=%2::1\n").arg(at("old/file"), md5Of("y")).toUtf8());
    QCOMPARE(run(target).finished, 1);
    QCOMPARE(replacePaths(target), QStringList {"Delete:" + at("old/file")});
    QVERIFY(target.deleteList.isEmpty());
}

void TestMakeDownloadReplaceList::sharedTemporaryFile()
{
    // One stored file unpacked to two places: one temporary file, fetched once.
    const QString stored = md5Of("stored");
    const QString unpacked = md5Of("unpacked");
    writeIni(QStringLiteral("[one]\nlib.gz=%1::6::%2::8::%3\n[two]\nlib.gz=%1::6::%2::8::%4\n")
                 .arg(stored, unpacked, at("a/lib"), at("b/lib"))
                 .toUtf8());
    FileSpecifications target;
    const Outcome outcome = run(target);
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(replacePaths(target), (QStringList {"one:" + at("a/lib"), "two:" + at("b/lib")}));
    QCOMPARE(downloadPaths(target), QStringList {"one:lib.gz"});
}

void TestMakeDownloadReplaceList::invalidLine_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("one part") << QByteArray("0123");
    QTest::newRow("three parts") << QByteArray("0123::4::5678");
    QTest::newRow("four parts") << QByteArray("0123::4::5678::9");
    QTest::newRow("six parts") << QByteArray("0123::4::5678::9::a::b");
    QTest::newRow("empty") << QByteArray();
    // The reader turns an unquoted comma into a list, which is no text at all.
    QTest::newRow("unquoted comma") << QByteArray("0123::4,5");
}

void TestMakeDownloadReplaceList::invalidLine()
{
    QFETCH(QByteArray, value);
    // Good entries before and after: the bad one still ends the run and nothing is published.
    writeIni("[aa]\ngood=0123::4\n[bin dir]\nbad=" + value + "\n[zz]\ngood=0123::4\n");
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(outcome.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(outcome.messages,
             (QStringList {Compiling,
                           "warning: product ini contains invalid line in section "
                           "bin dir"}));
    compareLists(target, sentinelLists());
}

void TestMakeDownloadReplaceList::noFiles_data()
{
    QTest::addColumn<QByteArray>("text"); // "missing" for no file at all
    QTest::newRow("missing") << QByteArray("missing");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("empty sections") << QByteArray("[files]\n[delete]\n");
    QTest::newRow("keys outside sections") << QByteArray("client=0123::4\n");
    QTest::newRow("General section") << QByteArray("[General]\nclient=0123::4\n");
    QTest::newRow("general section") << QByteArray("[general]\nclient=0123::4\n");
    QTest::newRow("comments only") << QByteArray("; nothing\n# here\n");
}

void TestMakeDownloadReplaceList::noFiles()
{
    QFETCH(QByteArray, text);
    if (text != "missing")
        writeIni(text);
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(outcome.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(outcome.messages, (QStringList {Compiling, NoFiles}));
    compareLists(target, sentinelLists());
    QCOMPARE(QFileInfo::exists(iniPath()), text != "missing");
}

void TestMakeDownloadReplaceList::unsafePath_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("section");

    // From the test directory, "../<its name>/..." leads back into it: such a path still
    // climbs and is refused, although what it names exists.
    const QString self = QFileInfo(Configuration::getAppRootPath()).fileName();
    const QString back = QStringLiteral("../%1/%2").arg(self, at("victim"));

    QTest::newRow("key climbs") << QByteArray("[s]\n../escape=0123::4\n") << "../escape"
                                << "s";
    QTest::newRow("key climbs in the middle")
        << QByteArray("[s]\nbin/../../escape=0123::4\n") << "bin/../../escape"
        << "s";
    QTest::newRow("key climbs, escaped")
        << QByteArray("[s]\n%2E%2E/escape=0123::4\n") << "../escape"
        << "s";
    QTest::newRow("key climbs with backslashes")
        << QByteArray("[s]\n..\\escape=0123::4\n") << "../escape"
        << "s";
    QTest::newRow("key with trailing dot") << QByteArray("[s]\nbin/.=0123::4\n") << "bin/."
                                           << "s";
    QTest::newRow("unpacked path absolute")
        << QByteArray("[s]\nx.gz=0123::4::5678::9::/tmp/escape\n") << "/tmp/escape"
        << "s";
    QTest::newRow("unpacked path climbs")
        << QByteArray("[s]\nx.gz=0123::4::5678::9::lib/../../escape\n") << "lib/../../escape"
        << "s";
    QTest::newRow("unpacked path is a directory")
        << QByteArray("[s]\nx.gz=0123::4::5678::9::lib/\n") << "lib/"
        << "s";
    QTest::newRow("unpacked path with NUL") << QByteArray("[s]\nx.gz=0123::4::5678::9::lib\\0x\n")
                                            << QStringLiteral("lib") + QChar(0) + "x"
                                            << "s";
    QTest::newRow("delete climbs back in")
        << QByteArray("[delete]\n" + back.toUtf8() + "=\n") << back << "delete";
    QTest::newRow("delete absolute") << QByteArray("[delete]\n/etc/passwd=\n") << "/etc/passwd"
                                     << "delete";
    QTest::newRow("delete the installation") << QByteArray("[delete]\n.=\n") << "."
                                             << "delete";
    QTest::newRow("delete with empty key") << QByteArray("[delete]\n=\n") << ""
                                           << "delete";
    // No section: the release's directories.
    QTest::newRow("empty directory climbs")
        << QByteArray("directories_empty=data::../escape\n[s]\nx=0123::4\n") << "../escape"
        << "";
    QTest::newRow("dropped directory absolute")
        << QByteArray("directories_dropped=/etc\n[s]\nx=0123::4\n") << "/etc"
        << "";
}

void TestMakeDownloadReplaceList::unsafePath()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, path);
    QFETCH(QString, section);
    writeTreeFile(installDir, at("victim"), "must stay");
    writeIni(text);
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(
        outcome.messages,
        (QStringList {Compiling,
                      section.isEmpty()
                          ? QStringLiteral("product ini contains unsafe directory \"%1\"").arg(path)
                          : QStringLiteral("product ini contains unsafe path \"%1\" in "
                                           "section %2")
                                .arg(path, section)}));
    compareLists(target, sentinelLists());
}

void TestMakeDownloadReplaceList::contradictoryProductIni_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");

    QTest::newRow("same file in two sections")
        << QByteArray("[a]\nbin/client=0123::4\n[b]\nbin/client=0123::4\n")
        << "product ini installs bin/client more than once (section b)";
    QTest::newRow("unpacked over a plain file")
        << QByteArray("[a]\nbin/client=0123::4\nbin/client.gz=0123::4::5678::9::bin/client\n")
        << "product ini installs bin/client more than once (section a)";
    QTest::newRow("deletes an installed file")
        << QByteArray("[a]\nbin/client=0123::4\n[delete]\nbin/client=\n")
        << "product ini deletes bin/client, which would remove the installed file bin/client";
    QTest::newRow("key names a directory")
        << ("[a]\n" + at("dir").toUtf8() + "=0123::4\n")
        << QStringLiteral("%1 is a directory in the installation").arg(at("dir"));
    QTest::newRow("unpacks onto a directory")
        << ("[a]\nx.gz=0123::4::5678::9::" + at("dir").toUtf8() + "\n")
        << QStringLiteral("%1 is a directory in the installation").arg(at("dir"));
    QTest::newRow("deletes the directory of an installed file")
        << QByteArray("[delete]\nlib=\n[z]\nlib/x.so.gz=0123::4::5678::9::lib/x.so\n")
        << "product ini deletes lib, which would remove the installed file lib/x.so";
    QTest::newRow("empty directory where the release has a file")
        << QByteArray("directories_empty=bin/client\n[a]\nbin/client=0123::4\n")
        << "product ini has bin/client both as a file and as an empty directory";
    QTest::newRow("empty directory where the installation has a file")
        << ("directories_empty=" + at("dir/kept").toUtf8() + "\n[a]\nx=0123::4\n")
        << QStringLiteral("%1 is not a directory in the installation").arg(at("dir/kept"));
}

void TestMakeDownloadReplaceList::contradictoryProductIni()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    writeTreeFile(installDir, at("dir/kept"), "kept");
    writeIni(text);
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(outcome.messages, (QStringList {Compiling, message}));
    compareLists(target, sentinelLists());
}

void TestMakeDownloadReplaceList::malformedProductIni_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");

    // The reader recovers from a broken section header; the run must not.
    QTest::newRow("broken section header")
        << QByteArray("[files\nclient=0123::4\n[more]\nlib=0123::4\n") << false;
    // Lines without "=" are no entries and are skipped, whatever they are meant to be.
    QTest::newRow("lines without =")
        << QByteArray("# published by hand\n[files]\n# client\nstray words\nclient=0123::4\n"
                      "[more]\nlib=0123::4\n")
        << true;
}

void TestMakeDownloadReplaceList::malformedProductIni()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    writeIni(text);
    FileSpecifications target = sentinelLists();
    const Outcome outcome = run(target);
    if (accepted) {
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(downloadPaths(target), QStringList({"files:client", "more:lib"}));
        return;
    }
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(
        outcome.messages,
        (QStringList {Compiling, QStringLiteral("product ini %1 is malformed").arg(iniPath())}));
    compareLists(target, sentinelLists());
}

void TestMakeDownloadReplaceList::repeatedRuns()
{
    const QByteArray content("library");
    writeTreeFile(installDir, at("lib/ok.so"), content);
    writeTreeFile(installDir, at("gone"), "x");
    writeIni(QStringLiteral("[lib]\n%1=%2::7\n%3=%2::7\n[delete]\n%4=\n")
                 .arg(at("lib/ok.so"), md5Of(content), at("lib/new.so"), at("gone"))
                 .toUtf8());

    // Every run starts from empty lists and finds the same when nothing changed.
    FileSpecifications first;
    QCOMPARE(run(first).finished, 1);
    FileSpecifications second = first;
    QCOMPARE(run(second).finished, 1);
    compareLists(second, first);
    QCOMPARE(replacePaths(first), QStringList {"lib:" + at("lib/new.so")});
    QCOMPARE(first.deleteList, QStringList {at("gone")});

    // The same task again after a reset: it starts from empty lists of its own, not from
    // those of its previous run. Then a failing run leaves the published lists alone.
    FileSpecifications target;
    MakeDownloadReplaceListTaskSpecification task(&configuration, target, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    for (int i = 1; i <= 2; ++i) {
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), i, 60000);
        compareLists(target, first);
        task.reset();
        QCOMPARE(task.state, TaskSpecification::Idle);
        QCOMPARE(task.progress, 0.0);
    }
    writeIni("[lib]\nbroken=0123\n");
    task.execute();
    QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 60000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 2);
    QCOMPARE(canceled.count(), 1);
    compareLists(target, first);
}

void TestMakeDownloadReplaceList::releaseDirectories()
{
    // Only the empty directories the installation lacks are made; only the dropped ones it
    // holds as directories (no link, no file) are removed, deepest first, never one the release
    // still has.
    for (const char *dir : {"kept", "old/sub", "still"})
        QVERIFY(QDir(installDir).mkpath(at(QLatin1String(dir))));
    writeTreeFile(installDir, at("file"), "a file");
    QVERIFY(QFile::link(installDir + QLatin1Char('/') + at("kept"),
                        installDir + QLatin1Char('/') + at("link")));
    writeIni("directories_dropped=" + at("old").toUtf8() + "::" + at("old/sub").toUtf8()
             + "::" + at("still").toUtf8() + "::" + at("gone").toUtf8() + "::" + at("file").toUtf8()
             + "::" + at("link").toUtf8() + "\ndirectories_empty=" + at("kept").toUtf8()
             + "::" + at("link").toUtf8() + "::" + at("new/deep").toUtf8()
             + "::" + at("still").toUtf8() + "\n[s]\nx=0123::4\n");
    FileSpecifications target;
    const Outcome outcome = run(target);
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(target.directoryList, QList<QString> {at("new/deep")});
    QCOMPARE(target.dropDirectoryList, (QList<QString> {at("old/sub"), at("old")}));
}

void TestMakeDownloadReplaceList::deletedFilesTakeTheirDirectories()
{
    // A directory that held only deleted files goes with them (when it is empty then, which the
    // deletion sees to); one the release keeps a file or an empty directory in stays.
    for (const char *file : {"gone/deep/x", "kept/old", "holds/sub/old"})
        writeTreeFile(installDir, at(QLatin1String(file)), "x");
    writeIni(QStringLiteral("directories_empty=%1\n[s]\n%2=0123::4\n[delete]\n%3=\n%4=\n%5=\n")
                 .arg(at("holds/sub/empty"), at("kept/new"), at("gone/deep/x"), at("kept/old"),
                      at("holds/sub/old"))
                 .toUtf8());
    FileSpecifications target;
    QCOMPARE(run(target).finished, 1);
    QCOMPARE(target.dropDirectoryList, (QList<QString> {at("gone/deep"), at("gone")}));
}

QTEST_GUILESS_MAIN(TestMakeDownloadReplaceList)
#include "tst_makedownloadreplacelisttaskspecification.moc"
