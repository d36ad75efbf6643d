#include "fileopstestsupport.h"

#include "fileops/dircreatetaskspecification.h"
#include "fileops/filecopytaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/fileunziptaskspecification.h"
#include "fileops/rollbackdatalist.h"
#include "fileops/sessionfile.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <memory>
#include <unistd.h>

// Copying and unpacking on the thread pool, each run as perform then undo
// between a download directory and an installation directory. A failure must
// leave the installation exactly as it was, byte for byte, and a success must
// be recorded so that undoing the journal takes it away again.
class TestSlowFileOps : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void success_data();
    void success();
    void failure_data();
    void failure();
    void withoutJournal();
    void parallelWork();
    void installationUndone();
    void resultAfterReset();

private:
    std::unique_ptr<SlowFileOpSpecification> makeTask(bool unzip, RollbackDataList *journal,
                                                      const QString &source,
                                                      const QString &destination, double share);

    // Names with a character outside ASCII and with "%1"/"%2", which a
    // careless conversion or message composition would get wrong.
    std::unique_ptr<QTemporaryDir> downloads;
    std::unique_ptr<QTemporaryDir> installation;
    std::unique_ptr<QTemporaryDir> outside;
};

namespace {

QString expectedFailure(bool unzip, const QString &source, const QString &destination)
{
    return QString(unzip ? "Could not unzip '" : "Could not copy '") + source + "' to '"
        + destination + "'";
}

} // namespace

void TestSlowFileOps::init()
{
    downloads = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/Downloads \u00fc %2 XXXXXX");
    installation = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/install %1 XXXXXX");
    outside = std::make_unique<QTemporaryDir>();
    QVERIFY(downloads->isValid());
    QVERIFY(installation->isValid());
    QVERIFY(outside->isValid());
}

std::unique_ptr<SlowFileOpSpecification>
TestSlowFileOps::makeTask(bool unzip, RollbackDataList *journal, const QString &source,
                          const QString &destination, double share)
{
    if (unzip)
        return std::make_unique<FileUnzipTaskSpecification>(journal, source, destination, nullptr,
                                                            share);
    return std::make_unique<FileCopyTaskSpecification>(journal, source, destination, nullptr,
                                                       share);
}

void TestSlowFileOps::success_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("expected");
    // The source lies on another file system, so a copy cannot be a link.
    QTest::addColumn<bool>("elsewhere");

    const QByteArray big = noise(1024 * 1024 + 3, 7);
    const QByteArray lines = text(200000);
    QTest::newRow("copy, empty") << false << QByteArray() << QByteArray() << false;
    QTest::newRow("copy, one byte") << false << QByteArray("x") << QByteArray("x") << false;
    QTest::newRow("copy, 1 MiB") << false << big << big << false;
    QTest::newRow("copy, 1 MiB from another file system") << false << big << big << true;
    QTest::newRow("unzip, text over many buffers") << true << gzip(lines) << lines << false;
    QTest::newRow("unzip, incompressible 1 MiB") << true << gzip(big) << big << false;
    QTest::newRow("unzip, empty stream") << true << gzip(QByteArray()) << QByteArray() << false;
    // zlib reads a file of several gzip members as one stream.
    QTest::newRow("unzip, two members")
        << true << gzip("first ") + gzip("second") << QByteArray("first second") << false;
    // Like zlib's own reader: what follows the last member without starting
    // another one is not part of the file.
    QTest::newRow("unzip, trailing bytes")
        << true << gzip("content") + "\n\0\0 padding" << QByteArray("content") << false;
    // Not compressed at all: passed through; the MD5 check that follows an
    // unpacking in the installation judges the result.
    QTest::newRow("unzip, not gzip") << true << lines << lines << false;
}

void TestSlowFileOps::success()
{
    QFETCH(bool, unzip);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, expected);
    QFETCH(bool, elsewhere);

    std::unique_ptr<QTemporaryDir> otherFileSystem;
    QString sourcePath = downloads->filePath("plugins/libfoo.so.gz");
    if (elsewhere) {
        otherFileSystem = dirOnOtherFileSystem(installation->path());
        if (!otherFileSystem)
            QSKIP("no second file system to copy from");
        sourcePath = otherFileSystem->filePath("libfoo.so");
    }
    const QString destination = installation->filePath("libfoo.so");
    QVERIFY(writeFile(sourcePath, source));
    QVERIFY(writeFile(installation->filePath("vl3client_linux_amd64"), "installed client"));
    const auto before = snapshot(installation->path());
    const auto downloadsBefore = snapshot(downloads->path());

    RollbackDataList journal;
    auto task = makeTask(unzip, &journal, sourcePath, destination, 0.7);
    const TaskRun run = runTask(*task);

    // The work is done on the pool: execute() returns with the task running.
    QVERIFY(!run.endedInsideExecute);
    QCOMPARE(run.stateAfterExecute, TaskSpecification::Running);
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.canceled, 0);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::Finished);
    QCOMPARE(run.messages, QStringList());
    QCOMPARE(run.progress, QList<double>({0.7}));

    QCOMPARE(md5OfFile(destination), md5Of(expected));
    QCOMPARE(QFileInfo(destination).size(), qint64(expected.size()));
    QCOMPARE(snapshot(downloads->path()), downloadsBefore);
    // On one file system the downloaded file itself becomes the installed one: its bytes are
    // not written a second time.
    if (!unzip)
        QCOMPARE(sameFile(sourcePath, destination), !elsewhere);
    QCOMPARE(journal.records().size(), 1);
    QCOMPARE(journal.records().first().operation, RollbackData::CreateFile);
    QCOMPARE(journal.records().first().path, destination);

    auto after = snapshot(installation->path());
    QVERIFY(after.remove("libfoo.so") == 1);
    QCOMPARE(after, before);

    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(snapshot(installation->path()), before);
}

void TestSlowFileOps::failure_data()
{
    QTest::addColumn<bool>("unzip");
    // "valid", "missing", or how the gzip data is damaged.
    QTest::addColumn<QString>("source");
    // "new", "file", "link outside", "link to /dev/full", "directory",
    // "missing directory", "parent is a file", "read-only directory".
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("diskFull");

    for (bool unzip : {false, true}) {
        const char *op = unzip ? "unzip" : "copy";
        auto row = [op](const char *what) { return QByteArray(op) + ", " + what; };
        QTest::newRow(row("missing source")) << unzip << "missing"
                                             << "new" << false;
        QTest::newRow(row("destination exists")) << unzip << "valid"
                                                 << "file" << false;
        QTest::newRow(row("destination links outside")) << unzip << "valid"
                                                        << "link outside" << false;
        QTest::newRow(row("destination links to nothing")) << unzip << "valid"
                                                           << "link to nothing" << false;
        QTest::newRow(row("destination links to /dev/full")) << unzip << "valid"
                                                             << "link to /dev/full" << false;
        QTest::newRow(row("destination is a directory")) << unzip << "valid"
                                                         << "directory" << false;
        QTest::newRow(row("directory missing")) << unzip << "valid"
                                                << "missing directory" << false;
        QTest::newRow(row("parent is a file")) << unzip << "valid"
                                               << "parent is a file" << false;
        QTest::newRow(row("read-only directory")) << unzip << "valid"
                                                  << "read-only directory" << false;
        QTest::newRow(row("disk full")) << unzip << "valid"
                                        << "new" << true;
    }
    QTest::newRow("unzip, truncated in the data") << true << "truncated"
                                                  << "new" << false;
    // The unpacked size is a multiple of the buffer size, so the input runs
    // out just as a buffer is full: zlib's gzread() takes that for a clean end.
    QTest::newRow("unzip, trailer cut off at a buffer boundary") << true << "no trailer"
                                                                 << "new" << false;
    QTest::newRow("unzip, trailer cut off") << true << "no trailer, odd size"
                                            << "new" << false;
    QTest::newRow("unzip, length cut off") << true << "no length"
                                           << "new" << false;
    QTest::newRow("unzip, second member truncated") << true << "second member truncated"
                                                    << "new" << false;
    QTest::newRow("unzip, second member corrupt") << true << "second member corrupt"
                                                  << "new" << false;
    QTest::newRow("unzip, header only") << true << "header only"
                                        << "new" << false;
    QTest::newRow("unzip, corrupt data") << true << "corrupt"
                                         << "new" << false;
    QTest::newRow("unzip, wrong checksum") << true << "bad crc"
                                           << "new" << false;
    QTest::newRow("unzip, wrong length") << true << "bad length"
                                         << "new" << false;
}

void TestSlowFileOps::failure()
{
    QFETCH(bool, unzip);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(bool, diskFull);

    if (destination == "read-only directory" && ::geteuid() == 0)
        QSKIP("permission bits do not stop root");

    // Larger than the simulated disk, and large enough to span many buffers.
    const int size = 1024 * 1024 + (source == "no trailer, odd size" ? 5 : 0);
    const QByteArray content = unzip ? text(size) : noise(size, 3);
    QByteArray data = unzip ? gzip(content) : content;
    QVERIFY(data.size() > 1000);
    if (source.startsWith("second member")) {
        QByteArray second = gzip(text(5000));
        if (source.endsWith("truncated"))
            second.chop(second.size() / 2);
        else
            second[second.size() / 2] = char(second[second.size() / 2] ^ 0x5a);
        data = gzip("first member") + second;
    } else if (source == "truncated")
        data.truncate(data.size() / 2);
    else if (source.startsWith("no trailer"))
        data.chop(8);
    else if (source == "no length")
        data.chop(4);
    else if (source == "header only")
        data.truncate(10);
    else if (source == "corrupt")
        for (int i = data.size() / 2; i < data.size() / 2 + 16; ++i)
            data[i] = char(data[i] ^ 0x5a);
    else if (source == "bad crc")
        data[data.size() - 8] = char(data[data.size() - 8] ^ 1);
    else if (source == "bad length")
        data[data.size() - 4] = char(data[data.size() - 4] ^ 1);

    // A link takes no space: only a copy, from another file system, can fill the disk.
    std::unique_ptr<QTemporaryDir> otherFileSystem;
    QString sourcePath = downloads->filePath("client.gz");
    if (diskFull && !unzip) {
        otherFileSystem = dirOnOtherFileSystem(installation->path());
        if (!otherFileSystem)
            QSKIP("no second file system to copy from");
        sourcePath = otherFileSystem->filePath("client");
    }
    if (source != "missing")
        QVERIFY(writeFile(sourcePath, data));

    const QString outsideFile = outside->filePath("not part of the installation");
    QVERIFY(writeFile(outsideFile, "untouched"));
    QVERIFY(writeFile(installation->filePath("update"), "the updater"));
    QString destinationPath = installation->filePath("vl3client_linux_amd64");
    if (destination == "file") {
        QVERIFY(writeFile(destinationPath, "installed client"));
    } else if (destination == "link outside") {
        QVERIFY(QFile::link(outsideFile, destinationPath));
    } else if (destination == "link to nothing") {
        QVERIFY(QFile::link(outside->filePath("missing"), destinationPath));
    } else if (destination == "link to /dev/full") {
        QVERIFY(QFile::link("/dev/full", destinationPath));
    } else if (destination == "directory") {
        QVERIFY(writeFile(destinationPath + "/inside", "kept"));
    } else if (destination == "missing directory") {
        destinationPath = installation->filePath("plugins/libfoo.so");
    } else if (destination == "parent is a file") {
        QVERIFY(writeFile(installation->filePath("plugins"), "a file"));
        destinationPath = installation->filePath("plugins/libfoo.so");
    } else if (destination == "read-only directory") {
        QVERIFY(QDir().mkpath(installation->filePath("plugins")));
        QVERIFY(QFile::setPermissions(installation->filePath("plugins"),
                                      QFile::ReadOwner | QFile::ExeOwner));
        destinationPath = installation->filePath("plugins/libfoo.so");
    }
    const auto before = snapshot(installation->path());
    const auto downloadsBefore = snapshot(downloads->path());

    RollbackDataList journal;
    auto task = makeTask(unzip, &journal, sourcePath, destinationPath, 0.6);
    TaskRun run;
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (diskFull) {
            limit = std::make_unique<FileSizeLimit>(256 * 1024);
            QVERIFY(limit->isActive());
        }
        run = runTask(*task);
    }
    if (destination == "read-only directory")
        QFile::setPermissions(installation->filePath("plugins"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QVERIFY(!run.endedInsideExecute);
    QCOMPARE(run.finished, 0);
    QCOMPARE(run.canceled, 1);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::ErrorCanceled);
    QStringList messages {expectedFailure(unzip, sourcePath, destinationPath)};
    // The file size limit stands in for a full disk: the write fails with EFBIG, and the user
    // learns where and why before the operation's own failure.
    if (diskFull)
        messages.prepend(SessionFile::diskErrorMessage(destinationPath, EFBIG));
    QCOMPARE(run.messages, messages);
    QCOMPARE(run.progress, QList<double>());

    // Nothing recorded, nothing left behind, nothing written through.
    QVERIFY(journal.isEmpty());
    QCOMPARE(snapshot(installation->path()), before);
    QCOMPARE(snapshot(downloads->path()), downloadsBefore);
    QCOMPARE(readAll(outsideFile), QByteArray("untouched"));
    QCOMPARE(snapshot(outside->path()).keys(), QStringList({"not part of the installation"}));
}

void TestSlowFileOps::withoutJournal()
{
    for (bool unzip : {false, true}) {
        const QString source = downloads->filePath(unzip ? "a.gz" : "a");
        const QString destination = installation->filePath(unzip ? "unpacked" : "copied");
        QVERIFY(writeFile(source, unzip ? gzip("content") : QByteArray("content")));
        auto task = makeTask(unzip, nullptr, source, destination, 1.0);
        const TaskRun run = runTask(*task);
        QCOMPARE(run.finished, 1);
        QCOMPARE(run.canceled, 0);
        QCOMPARE(readAll(destination), QByteArray("content"));
    }
}

void TestSlowFileOps::parallelWork()
{
    // Two replacements may copy and unpack at the same time, on different files.
    const QByteArray first = noise(3 * 1024 * 1024, 11);
    const QByteArray second = text(3 * 1024 * 1024);
    QVERIFY(writeFile(downloads->filePath("first"), first));
    QVERIFY(writeFile(downloads->filePath("second.gz"), gzip(second)));
    const auto before = snapshot(installation->path());

    RollbackDataList journal;
    FileCopyTaskSpecification copy(&journal, downloads->filePath("first"),
                                   installation->filePath("first"), nullptr, 0.5);
    FileUnzipTaskSpecification unpack(&journal, downloads->filePath("second.gz"),
                                      installation->filePath("second"), nullptr, 0.5);
    QSignalSpy copyEnded(&copy, &TaskSpecification::finished);
    QSignalSpy unpackEnded(&unpack, &TaskSpecification::finished);
    QSignalSpy copyCanceled(&copy, &TaskSpecification::canceled);
    QSignalSpy unpackCanceled(&unpack, &TaskSpecification::canceled);
    copy.execute();
    unpack.execute();
    QTRY_VERIFY_WITH_TIMEOUT(copyEnded.count() + copyCanceled.count() == 1
                                 && unpackEnded.count() + unpackCanceled.count() == 1,
                             60000);
    QCOMPARE(copyEnded.count(), 1);
    QCOMPARE(unpackEnded.count(), 1);
    QCOMPARE(md5OfFile(installation->filePath("first")), md5Of(first));
    QCOMPARE(md5OfFile(installation->filePath("second")), md5Of(second));
    QCOMPARE(journal.records().size(), 2);

    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(snapshot(installation->path()), before);
}

void TestSlowFileOps::installationUndone()
{
    // The changes one installation makes, in their order: a new directory
    // with its parents, an installed file moved aside and replaced by a copy,
    // and a file unpacked into the new directory. Undoing the journal gives
    // back the installation as it was.
    QVERIFY(writeFile(installation->filePath("vl3client_linux_amd64"), "old client"));
    QVERIFY(writeFile(installation->filePath("translations/de.qm"), "old catalogue"));
    QVERIFY(writeFile(downloads->filePath("vl3client_linux_amd64"), "new client"));
    QVERIFY(writeFile(downloads->filePath("plugins/platforms/libqxcb.so.gz"), gzip("new plugin")));
    const auto before = snapshot(installation->path());

    RollbackDataList journal;
    const QString client = installation->filePath("vl3client_linux_amd64");
    const QString oldClient = installation->filePath("_old_vl3client_linux_amd64");
    const QString plugin = installation->filePath("plugins/platforms/libqxcb.so");
    DirCreateTaskSpecification dirs(installation->filePath("plugins/platforms"), &journal, nullptr,
                                    0.1);
    FileRenameTaskSpecification moveAside(client, oldClient, &journal, nullptr, 0.1);
    FileCopyTaskSpecification copy(&journal, downloads->filePath("vl3client_linux_amd64"), client,
                                   nullptr, 0.4);
    FileUnzipTaskSpecification unpack(
        &journal, downloads->filePath("plugins/platforms/libqxcb.so.gz"), plugin, nullptr, 0.4);
    QCOMPARE(runTask(dirs).finished, 1);
    QCOMPARE(runTask(moveAside).finished, 1);
    QCOMPARE(runTask(copy).finished, 1);
    QCOMPARE(runTask(unpack).finished, 1);
    QCOMPARE(readAll(client), QByteArray("new client"));
    QCOMPARE(readAll(oldClient), QByteArray("old client"));
    QCOMPARE(readAll(plugin), QByteArray("new plugin"));
    QCOMPARE(journal.records().size(), 5);

    FileDeleteTaskSpecification reporter(false, QString(), nullptr, 1.0);
    QSignalSpy warnings(&reporter, &TaskSpecification::message);
    QVERIFY(journal.rollback(&reporter));
    QCOMPARE(warnings.count(), 0);
    QCOMPARE(snapshot(installation->path()), before);
}

void TestSlowFileOps::resultAfterReset()
{
    // A run abandoned by reset() still created its file. Its result no longer
    // ends anything, but the file is recorded: the journal is the only way
    // it can be taken away again.
    QVERIFY(writeFile(downloads->filePath("a"), noise(512 * 1024, 5)));
    const auto before = snapshot(installation->path());
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, downloads->filePath("a"), installation->filePath("a"),
                                   nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.reset();
    QTRY_COMPARE(journal.records().size(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, TaskSpecification::Idle);
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(snapshot(installation->path()), before);
}

QTEST_GUILESS_MAIN(TestSlowFileOps)
#include "tst_slowfileops.moc"
