#include "fileopstestsupport.h"

#include "fileops/dircreatetaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/rollbackdatalist.h"

#include <QTemporaryDir>
#include <QTest>

// Directory creation, deletion and renaming on the main thread, each run as
// perform then undo on a real tree, compared entry by entry and byte by byte.
class TestFastFileOps : public QObject
{
    Q_OBJECT

private slots:
    void dirCreate_data();
    void dirCreate();
    void dirCreateRelativePathWithoutParent();
    void fileDelete_data();
    void fileDelete();
    void renameAndUndo();
    void renameFailures_data();
    void renameFailures();
};

namespace {

// "<root>" in an expected text stands for the test's directory.
QStringList expand(const QStringList &texts, const QString &root)
{
    QStringList result;
    for (const QString &text : texts)
        result << QString(text).replace(QLatin1String("<root>"), root);
    return result;
}

void checkEndedInsideExecute(const TaskRun &run, bool success, double share)
{
    // A fast operation is over before execute() returns, with exactly one end signal.
    QVERIFY(run.endedInsideExecute);
    QCOMPARE(run.finished, success ? 1 : 0);
    QCOMPARE(run.canceled, success ? 0 : 1);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, success ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    // Progress jumps to the full share on success and stays at 0 on failure.
    QCOMPARE(run.progress, success ? QList<double>({share}) : QList<double>());
}

} // namespace

void TestFastFileOps::dirCreate_data()
{
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("one level") << QStringList() << QStringList() << "a" << true
                               << QStringList({"a"}) << QStringList();
    QTest::newRow("missing parents, outermost first")
        << QStringList() << QStringList() << "x/y/z" << true << QStringList({"x", "x/y", "x/y/z"})
        << QStringList();
    // What is already there is not recorded, so the undo leaves it, and the
    // file someone else put into it.
    QTest::newRow("existing parent") << QStringList({"a"}) << QStringList({"a/keep.txt"}) << "a/b/c"
                                     << true << QStringList({"a/b", "a/b/c"}) << QStringList();
    QTest::newRow("existing dir") << QStringList({"a/b"}) << QStringList() << "a/b" << true
                                  << QStringList() << QStringList();
    QTest::newRow("trailing separator") << QStringList() << QStringList() << "x/y/" << true
                                        << QStringList({"x", "x/y"}) << QStringList();
    QTest::newRow("file in the way")
        << QStringList() << QStringList({"f"}) << "f" << false << QStringList()
        << QStringList({"Could not create dir '<root>/f' because it already exists and is not a "
                        "dir"});
    QTest::newRow("file as ancestor")
        << QStringList() << QStringList({"f"}) << "f/g/h" << false << QStringList()
        << QStringList({"unable to create dir <root>/f/g"});
    // The outer level is made and recorded before the inner one fails; the
    // journal takes it away again.
    QTest::newRow("inner level fails")
        << QStringList() << QStringList() << "x/" + QString(300, QLatin1Char('n')) << false
        << QStringList({"x"})
        << QStringList({"unable to create dir <root>/x/" + QString(300, QLatin1Char('n'))});
}

void TestFastFileOps::dirCreate()
{
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, existingFiles);
    QFETCH(QString, target);
    QFETCH(bool, success);
    QFETCH(QStringList, records);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &d : existingDirs)
        QVERIFY(QDir(dir.path()).mkpath(d));
    for (const QString &f : existingFiles)
        QVERIFY(writeFile(dir.filePath(f), f.toUtf8()));
    const auto before = snapshot(dir.path());

    RollbackDataList journal;
    DirCreateTaskSpecification task(dir.path() + "/" + target, &journal, nullptr, 0.25);
    const TaskRun run = runTask(task);
    checkEndedInsideExecute(run, success, 0.25);
    QCOMPARE(run.messages, expand(messages, dir.path()));

    QStringList recorded;
    for (const RollbackData &record : journal.records()) {
        QCOMPARE(record.operation, RollbackData::CreateDir);
        QVERIFY(record.previousPath.isEmpty());
        recorded << record.path;
    }
    QStringList expectedRecords;
    for (const QString &r : records)
        expectedRecords << dir.filePath(r);
    QCOMPARE(recorded, expectedRecords);
    if (success)
        QVERIFY(QFileInfo(dir.filePath(target)).isDir());

    FileDeleteTaskSpecification reporter(false, QString(), nullptr, 1.0);
    QSignalSpy warnings(&reporter, &TaskSpecification::message);
    QVERIFY(journal.rollback(&reporter));
    QCOMPARE(warnings.count(), 0);
    QCOMPARE(snapshot(dir.path()), before);
}

void TestFastFileOps::dirCreateRelativePathWithoutParent()
{
    // A relative path whose outermost element is missing has nothing to be
    // created in; the message names the directory the task was made for.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    RollbackDataList journal;
    DirCreateTaskSpecification task("outer/inner", &journal, nullptr, 1.0);
    const TaskRun run = runTask(task);
    QVERIFY(QDir::setCurrent(previous));
    checkEndedInsideExecute(run, false, 1.0);
    QCOMPARE(run.messages, QStringList({"Could not create dir outer/inner"}));
    QVERIFY(journal.isEmpty());
    QCOMPARE(snapshot(dir.path()), (QMap<QString, QString>()));
}

void TestFastFileOps::fileDelete_data()
{
    QTest::addColumn<bool>("reportFailure");
    QTest::addColumn<QString>("existing"); // "file", "dir" or empty
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("gone");

    QTest::newRow("file, reported") << true << "file" << true << true;
    QTest::newRow("file, not reported") << false << "file" << true << true;
    QTest::newRow("missing, reported") << true << "" << false << true;
    QTest::newRow("missing, not reported") << false << "" << true << true;
    // A directory is never removed by a file deletion.
    QTest::newRow("directory, reported") << true << "dir" << false << false;
    QTest::newRow("directory, not reported") << false << "dir" << true << false;
}

void TestFastFileOps::fileDelete()
{
    QFETCH(bool, reportFailure);
    QFETCH(QString, existing);
    QFETCH(bool, success);
    QFETCH(bool, gone);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("old 'copy'");
    QVERIFY(writeFile(dir.filePath("neighbour"), "stays"));
    if (existing == "file")
        QVERIFY(writeFile(path, "old"));
    else if (existing == "dir")
        QVERIFY(writeFile(path + "/inside", "stays"));
    auto expected = snapshot(dir.path());
    if (gone)
        expected.remove("old 'copy'");

    FileDeleteTaskSpecification task(reportFailure, path, nullptr, 0.1);
    const TaskRun run = runTask(task);
    checkEndedInsideExecute(run, success, 0.1);
    // A file that stays is explained: as the failure it is, or as a warning.
    QStringList expectedMessages;
    if (!success)
        expectedMessages << "Could not delete '" + path + "'";
    else if (!gone)
        expectedMessages << "warning: could not delete '" + path + "'";
    QCOMPARE(run.messages, expectedMessages);
    QCOMPARE(snapshot(dir.path()), expected);
}

void TestFastFileOps::renameAndUndo()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString from = dir.filePath("plugins/libfoo.so");
    const QString to = dir.filePath("plugins/_old_libfoo.so");
    QVERIFY(writeFile(from, noise(70000, 1)));
    QVERIFY(QFile::setPermissions(from, QFile::permissions(from) | QFile::ExeOwner));
    const auto before = snapshot(dir.path());

    RollbackDataList journal;
    FileRenameTaskSpecification task(from, to, &journal, nullptr, 0.1);
    const TaskRun run = runTask(task);
    checkEndedInsideExecute(run, true, 0.1);
    QCOMPARE(run.messages, QStringList());
    QVERIFY(!QFileInfo::exists(from));
    QCOMPARE(md5OfFile(to), md5Of(noise(70000, 1)));
    QCOMPARE(journal.records().size(), 1);
    QCOMPARE(journal.records().first().operation, RollbackData::Rename);
    QCOMPARE(journal.records().first().previousPath, from);
    QCOMPARE(journal.records().first().path, to);

    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(snapshot(dir.path()), before);

    // Without a journal the rename still happens; nothing is recorded.
    FileRenameTaskSpecification unjournalled(from, to, nullptr, nullptr, 1.0);
    checkEndedInsideExecute(runTask(unjournalled), true, 1.0);
    QVERIFY(QFileInfo::exists(to));
}

void TestFastFileOps::renameFailures_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QString>("target"); // "none", "file" or "dangling link"
    QTest::newRow("onto an existing name") << true << "file";
    // The link's target must not be created through it.
    QTest::newRow("onto a link to nothing") << true << "dangling link";
    QTest::newRow("missing source") << false << "none";
    QTest::newRow("missing source, existing name") << false << "file";
}

void TestFastFileOps::renameFailures()
{
    QFETCH(bool, sourceExists);
    QFETCH(QString, target);

    QTemporaryDir dir(QDir::tempPath() + "/rename %2 XXXXXX");
    QVERIFY(dir.isValid());
    const QString from = dir.filePath("client");
    const QString to = dir.filePath("_old_client");
    if (sourceExists)
        QVERIFY(writeFile(from, "installed"));
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    if (target == "file")
        QVERIFY(writeFile(to, "left over"));
    else if (target == "dangling link")
        QVERIFY(QFile::link(elsewhere.filePath("nothing"), to));
    const auto before = snapshot(dir.path());

    RollbackDataList journal;
    FileRenameTaskSpecification task(from, to, &journal, nullptr, 0.1);
    const TaskRun run = runTask(task);
    checkEndedInsideExecute(run, false, 0.1);
    QCOMPARE(run.messages, QStringList({"Could not rename '" + from + "' to '" + to + "'"}));
    QVERIFY(journal.isEmpty());
    QCOMPARE(snapshot(dir.path()), before);
    QCOMPARE(snapshot(elsewhere.path()), (QMap<QString, QString>()));
}

QTEST_GUILESS_MAIN(TestFastFileOps)
#include "tst_fastfileops.moc"
