#include "fileopstestsupport.h"

#include "app/configuration.h"
#include "fileops/filereplacetaskspecification.h"
#include "fileops/rollbackdatalist.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// One file installed from the temporary directory into the installation
// (the directory of this test executable, below a directory of its own),
// performed and then undone through the installation journal. The shape of
// the chain, what is moved aside, what is queued for deletion and the mode
// of the new file are compared with what an installation needs; a failed
// replacement must leave the installation exactly as it was.
class TestFileReplaceTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replace_data();
    void replace();
    void permissions_data();
    void permissions();
    void failure_data();
    void failure();
    void userCancel_data();
    void userCancel();
    void linksToNothing();
    void resetAfterCommit();

private:
    // Puts the download for the installed path relative (below the
    // installation directory) into the temporary directory, compressed or
    // not, and returns its replace record.
    FileReplaceSpecification download(const QString &relative, const QByteArray &content,
                                      bool compressed);

    std::unique_ptr<QTemporaryDir> downloads;
    Configuration configuration;
    QString root;
};

namespace {

const QString Base = QStringLiteral("tst_replace");

QString installed(const QString &relative)
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + relative;
}

} // namespace

void TestFileReplaceTaskSpecification::init()
{
    downloads = std::make_unique<QTemporaryDir>();
    QVERIFY(downloads->isValid());
    configuration.tempDir = downloads->path();
    root = installed(Base);
    QDir(root).removeRecursively();
    QVERIFY(QDir().mkpath(root));
}

void TestFileReplaceTaskSpecification::cleanup()
{
    QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(root).removeRecursively();
    downloads.reset();
}

FileReplaceSpecification TestFileReplaceTaskSpecification::download(const QString &relative,
                                                                    const QByteArray &content,
                                                                    bool compressed)
{
    return stageReplacement(downloads->path(), relative, content, compressed);
}

void TestFileReplaceTaskSpecification::replace_data()
{
    QTest::addColumn<QString>("dest");
    QTest::addColumn<QString>("oldCopy");
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<bool>("leftOver");
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<QStringList>("expectedChain");
    QTest::addColumn<bool>("queued");

    const QString del = "FileDeleteTaskSpecification ";
    const QString ren = "FileRenameTaskSpecification ";
    const QString copy = "FileCopyTaskSpecification ";
    const QString unzip = "FileUnzipTaskSpecification ";
    const QString check = "CheckSignatureTaskSpecification ";

    QTest::newRow("new file, copied")
        << "client/readme.txt"
        << "client/_old_readme.txt" << false << false << false << QStringList {copy + "1"} << false;
    QTest::newRow("new file, unpacked") << "client/readme.txt"
                                        << "client/_old_readme.txt" << false << false << true
                                        << QStringList {unzip + "0.8", check + "0.2"} << false;
    // Without an installed file there is nothing to move aside, so a stale
    // old copy is none of this replacement's business.
    QTest::newRow("new file, stale old copy")
        << "readme.txt"
        << "_old_readme.txt" << false << true << false << QStringList {copy + "1"} << false;
    QTest::newRow("installed file, copied") << "client/readme.txt"
                                            << "client/_old_readme.txt" << true << false << false
                                            << QStringList {ren + "0.1", copy + "0.9"} << true;
    QTest::newRow("installed file, unpacked")
        << "client/readme.txt"
        << "client/_old_readme.txt" << true << false << true
        << QStringList {ren + "0.1", unzip + "0.7", check + "0.2"} << true;
    QTest::newRow("installed file and old copy, copied")
        << "readme.txt"
        << "_old_readme.txt" << true << true << false
        << QStringList {del + "0.1", ren + "0.1", copy + "0.8"} << true;
    QTest::newRow("installed file and old copy, unpacked")
        << "readme.txt"
        << "_old_readme.txt" << true << true << true
        << QStringList {del + "0.1", ren + "0.1", unzip + "0.6", check + "0.2"} << true;
    QTest::newRow("plugin in a subdirectory") << "plugins/libfoo.so"
                                              << "plugins/_old_libfoo.so" << true << false << false
                                              << QStringList {ren + "0.1", copy + "0.9"} << true;
    // The updater's own files may be in use by the running updater; their old
    // copies stay until its next start.
    QTest::newRow("special file update") << "update"
                                         << "_old_update" << true << false << false
                                         << QStringList {ren + "0.1", copy + "0.9"} << false;
    QTest::newRow("special file libqjpeg.so")
        << "plugins/imageformats/libqjpeg.so"
        << "plugins/imageformats/_old_libqjpeg.so" << true << false << false
        << QStringList {ren + "0.1", copy + "0.9"} << false;
    QTest::newRow("special file with old copy, unpacked")
        << "libQtCore.so.4"
        << "_old_libQtCore.so.4" << true << true << true
        << QStringList {del + "0.1", ren + "0.1", unzip + "0.6", check + "0.2"} << false;
    // Special names are compared case-sensitively.
    QTest::newRow("ordinary file Update") << "Update"
                                          << "_old_Update" << true << false << false
                                          << QStringList {ren + "0.1", copy + "0.9"} << true;
}

void TestFileReplaceTaskSpecification::replace()
{
    QFETCH(QString, dest);
    QFETCH(QString, oldCopy);
    QFETCH(bool, installedBefore);
    QFETCH(bool, leftOver);
    QFETCH(bool, compressed);
    QFETCH(QStringList, expectedChain);
    QFETCH(bool, queued);

    const QString relative = Base + '/' + dest;
    const QByteArray newContent = text(100000) + dest.toUtf8();
    const FileReplaceSpecification spec = download(relative, newContent, compressed);
    QCOMPARE(spec.oldDestFileName(), Base + '/' + oldCopy);

    QList<QString> oldFiles {"tst_replace/obsolete"};
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 0.5);

    // The installation is looked at when the replacement executes, not when
    // it is made.
    const QString newPath = installed(relative);
    const QString oldPath = installed(Base + '/' + oldCopy);
    QVERIFY(writeFile(installed(Base + "/unrelated"), "unrelated"));
    if (installedBefore)
        QVERIFY(writeFile(newPath, "installed " + dest.toUtf8()));
    else
        QVERIFY(QDir().mkpath(QFileInfo(newPath).path()));
    if (leftOver)
        QVERIFY(writeFile(oldPath, "left over from an earlier run"));
    const auto before = snapshot(root);
    const auto downloadsBefore = contentSnapshot(downloads->path());

    const TaskRun run = runTask(task);
    QVERIFY(!run.endedInsideExecute);
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.canceled, 0);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::Finished);
    QCOMPARE(run.messages, QStringList {"add/replace " + spec.filePath});
    QVERIFY(!run.progress.isEmpty());
    QCOMPARE(run.progress.last(), 0.5);
    QCOMPARE(chain(task), expectedChain);

    QCOMPARE(md5OfFile(newPath), md5Of(newContent));
    if (installedBefore)
        QCOMPARE(readAll(oldPath), "installed " + dest.toUtf8());
    else if (leftOver)
        QCOMPARE(readAll(oldPath), QByteArray("left over from an earlier run"));
    auto expectedKeys = before.keys();
    expectedKeys << dest;
    if (installedBefore && !leftOver)
        expectedKeys << oldCopy;
    expectedKeys.removeDuplicates();
    expectedKeys.sort();
    QCOMPARE(snapshot(root).keys(), expectedKeys);
    QCOMPARE(contentSnapshot(downloads->path()), downloadsBefore);

    QStringList expectedOldFiles {"tst_replace/obsolete"};
    if (queued)
        expectedOldFiles << Base + '/' + oldCopy;
    QCOMPARE(oldFiles, expectedOldFiles);

    // Undone through the installation journal alone, without a warning. A
    // left-over old copy was deleted for good: it is not part of the
    // installation.
    // One record: the new file (created), or the old copy (which goes back
    // over the new file).
    QCOMPARE(journal.records().size(), 1);
    QSignalSpy warnings(&task, &TaskSpecification::message);
    QVERIFY(journal.rollback(&task));
    QCOMPARE(warnings.count(), 0);
    auto expected = before;
    if (installedBefore && leftOver)
        expected.remove(oldCopy);
    QCOMPARE(snapshot(root), expected);
}

void TestFileReplaceTaskSpecification::permissions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<int>("downloadMode");
    QTest::addColumn<bool>("executable");

    QTest::newRow("client binary") << "vl3client_linux_amd64" << false << 0640 << true;
    // Never writable by others, whatever the download was: any local user
    // could otherwise plant code that the next user's client runs.
    QTest::newRow("client binary, world-writable download")
        << "vl3client_linux_amd64" << false << 0777 << true;
    QTest::newRow("x86 client, unpacked") << "vl3client_linux_x86" << true << 0644 << true;
    QTest::newRow("start script") << "vl3client_runscript.sh" << false << 0600 << true;
    QTest::newRow("updater") << "update" << false << 0644 << true;
    QTest::newRow("libx.so, unpacked") << "libx.so" << true << 0644 << true;
    QTest::newRow("libx.so.4") << "libx.so.4" << false << 0640 << true;
    QTest::newRow("libx.so.1") << "libx.so.1" << false << 0640 << false;
    QTest::newRow("libx.so.1, unpacked") << "libx.so.1" << true << 0640 << false;
    QTest::newRow("a.b.so") << "a.b.so" << false << 0640 << false;
    QTest::newRow("libx.SO") << "libx.SO" << false << 0604 << false;
    QTest::newRow("Update") << "Update" << false << 0640 << false;
}

void TestFileReplaceTaskSpecification::permissions()
{
    QFETCH(QString, name);
    QFETCH(bool, compressed);
    QFETCH(int, downloadMode);
    QFETCH(bool, executable);

    const QString relative = Base + "/bin/" + name;
    const FileReplaceSpecification spec
        = download(relative, "content of " + name.toUtf8(), compressed);
    const QString source = downloads->filePath(spec.filePath);
    QVERIFY(::chmod(QFile::encodeName(source).constData(), mode_t(downloadMode)) == 0);
    QCOMPARE(mode(source), downloadMode);

    // What the step that puts the file in place gives it by itself: a new file's mode, whether
    // the download is copied, linked in place (the session keeps it for its owner's eyes only)
    // or unpacked.
    const QString control = downloads->filePath("control");
    QVERIFY(writeFile(control, "new"));
    const int unchanged = mode(control);

    // Installed before with all bits set: the new file owes nothing to it.
    QVERIFY(writeFile(installed(relative), "installed"));
    QVERIFY(::chmod(QFile::encodeName(installed(relative)).constData(), 0777) == 0);

    QList<QString> oldFiles;
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 1.0);
    const TaskRun run = runTask(task);
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.canceled, 0);
    QCOMPARE(readAll(installed(relative)), "content of " + name.toUtf8());
    QCOMPARE(QString::number(mode(installed(relative)), 8),
             QString::number(executable ? 0755 : unchanged, 8));
    QCOMPARE(mode(installed(spec.oldDestFileName())), 0777);
}

void TestFileReplaceTaskSpecification::failure_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("installedBefore");

    QTest::newRow("wrong MD5 over an installed file") << "wrong md5" << true;
    QTest::newRow("wrong MD5, nothing installed before") << "wrong md5" << false;
    QTest::newRow("download missing") << "missing download" << true;
    QTest::newRow("download corrupt") << "corrupt gzip" << true;
    QTest::newRow("old copy cannot be deleted") << "undeletable old copy" << true;
    QTest::newRow("installed file cannot be moved aside") << "read-only directory" << true;
    // One that stops root as well: the old-copy name is longer than a file
    // name may be.
    QTest::newRow("old-copy name too long") << "name too long" << true;
}

void TestFileReplaceTaskSpecification::failure()
{
    QFETCH(QString, failure);
    QFETCH(bool, installedBefore);

    if (failure == "read-only directory" && ::geteuid() == 0)
        QSKIP("permission bits do not stop root");

    // 252 bytes: the longest name that leaves no room for the prefix.
    const QString name = failure == "name too long" ? QString(249, QLatin1Char('x')) + ".so"
                                                    : QStringLiteral("libfoo.so");
    const QString relative = Base + "/plugins/" + name;
    const QString newPath = installed(relative);
    const QString oldPath = installed(Base + "/plugins/_old_" + name);
    const bool compressed = failure == "wrong md5" || failure == "corrupt gzip";
    const QByteArray content = text(300000);
    FileReplaceSpecification spec = download(relative, content, compressed);
    const QString source = downloads->filePath(spec.filePath);
    if (failure == "wrong md5")
        spec.unzipMd5 = md5Of(content + "x");
    else if (failure == "missing download")
        QVERIFY(QFile::remove(source));
    else if (failure == "corrupt gzip")
        QVERIFY(writeFile(source, gzip(content).left(5000)));

    QVERIFY(QDir().mkpath(installed(Base + "/plugins")));
    if (installedBefore)
        QVERIFY(writeFile(newPath, "installed plugin"));
    QVERIFY(writeFile(installed(Base + "/plugins/libbar.so"), "another plugin"));
    QString expected;
    if (failure == "wrong md5") {
        expected = "Signature check failed for " + newPath;
    } else if (failure == "missing download") {
        expected = "Could not copy '" + source + "' to '" + newPath + "'";
    } else if (failure == "corrupt gzip") {
        expected = "Could not unzip '" + source + "' to '" + newPath + "'";
    } else if (failure == "undeletable old copy") {
        // A directory under the old name, with something in it.
        QVERIFY(writeFile(oldPath + "/kept", "kept"));
        expected = "Could not delete '" + oldPath + "'";
    } else if (failure == "read-only directory" || failure == "name too long") {
        if (failure == "read-only directory")
            QVERIFY(QFile::setPermissions(installed(Base + "/plugins"),
                                          QFile::ReadOwner | QFile::ExeOwner));
        expected = "Could not rename '" + newPath + "' to '" + oldPath + "'";
    }
    const auto before = snapshot(root);

    QList<QString> oldFiles {"tst_replace/obsolete"};
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 0.25);
    const TaskRun run = runTask(task);
    QFile::setPermissions(installed(Base + "/plugins"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(run.finished, 0);
    QCOMPARE(run.canceled, 1);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(run.messages, QStringList({"add/replace " + spec.filePath, expected}));

    // Nothing committed, nothing queued, the installation byte for byte as
    // it was, the installed file under its own name.
    QVERIFY(journal.isEmpty());
    QCOMPARE(oldFiles, QStringList {"tst_replace/obsolete"});
    QCOMPARE(snapshot(root), before);
    if (installedBefore)
        QCOMPARE(readAll(newPath), QByteArray("installed plugin"));
    else
        QVERIFY(!QFileInfo::exists(newPath));
}

void TestFileReplaceTaskSpecification::userCancel_data()
{
    QTest::addColumn<int>("cancelAfterStep");
    QTest::addColumn<bool>("completes");

    QTest::newRow("after moving aside") << 0 << false;
    QTest::newRow("after unpacking") << 1 << false;
    // Nothing is left to stop: the replacement commits.
    QTest::newRow("after the check") << 2 << true;
}

void TestFileReplaceTaskSpecification::userCancel()
{
    // A cancel stops the chain before its next step and undoes what the
    // steps before it changed.
    QFETCH(int, cancelAfterStep);
    QFETCH(bool, completes);

    const QString relative = Base + "/vl3client_linux_amd64";
    const QByteArray content = text(200000);
    const FileReplaceSpecification spec = download(relative, content, true);
    QVERIFY(writeFile(installed(relative), "old client"));
    const auto before = snapshot(root);

    QList<QString> oldFiles;
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    const auto steps
        = task.findChildren<TaskSpecification *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(steps.size(), 3);
    connect(steps.at(cancelAfterStep), &TaskSpecification::finished, &task,
            [&task] { task.userCanceled(); });
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 60000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(messages.count(), 1);

    for (int i = 0; i < steps.size(); ++i)
        QCOMPARE(steps.at(i)->state,
                 i <= cancelAfterStep ? TaskSpecification::Finished : TaskSpecification::Idle);
    if (completes) {
        QCOMPARE(finished.count(), 1);
        QCOMPARE(task.state, TaskSpecification::Finished);
        QCOMPARE(md5OfFile(installed(relative)), md5Of(content));
        QCOMPARE(oldFiles, QStringList {spec.oldDestFileName()});
        QVERIFY(journal.rollback(nullptr));
    } else {
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state, TaskSpecification::UserCanceled);
        QVERIFY(journal.isEmpty());
        QVERIFY(oldFiles.isEmpty());
    }
    QCOMPARE(snapshot(root), before);
}

void TestFileReplaceTaskSpecification::linksToNothing()
{
    // Links in the installation whose targets are missing: nothing may be
    // written through them to wherever they point.
    QTemporaryDir outside;
    QVERIFY(outside.isValid());

    // Under the old-copy name: taken for a left-over old copy and deleted.
    const QString relative = Base + "/plugins/libfoo.so";
    const FileReplaceSpecification spec = download(relative, "new plugin", false);
    QVERIFY(writeFile(installed(relative), "installed plugin"));
    QVERIFY(QFile::link(outside.filePath("old"), installed(spec.oldDestFileName())));
    QList<QString> oldFiles;
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 1.0);
    const TaskRun run = runTask(task);
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.canceled, 0);
    QCOMPARE(chain(task),
             QStringList({"FileDeleteTaskSpecification 0.1", "FileRenameTaskSpecification 0.1",
                          "FileCopyTaskSpecification 0.8"}));
    QVERIFY(!QFileInfo(installed(spec.oldDestFileName())).isSymLink());
    QCOMPARE(readAll(installed(spec.oldDestFileName())), QByteArray("installed plugin"));
    QCOMPARE(readAll(installed(relative)), QByteArray("new plugin"));

    // Under the installed name.
    const QString clientRelative = Base + "/vl3client_linux_amd64";
    const FileReplaceSpecification client = download(clientRelative, "new client", false);
    QVERIFY(QFile::link(outside.filePath("client"), installed(clientRelative)));
    const auto before = snapshot(root);
    RollbackDataList clientJournal;
    FileReplaceTaskSpecification clientTask(client, &oldFiles, &clientJournal, &configuration,
                                            nullptr, 1.0);
    const TaskRun clientRun = runTask(clientTask);
    // The link itself is moved aside like any installed file, and the new
    // file takes the name as a file of its own.
    QCOMPARE(clientRun.finished, 1);
    QCOMPARE(clientRun.canceled, 0);
    QCOMPARE(chain(clientTask),
             QStringList({"FileRenameTaskSpecification 0.1", "FileCopyTaskSpecification 0.9"}));
    QVERIFY(!QFileInfo(installed(clientRelative)).isSymLink());
    QCOMPARE(readAll(installed(clientRelative)), QByteArray("new client"));
    QCOMPARE(QFileInfo(installed(client.oldDestFileName())).symLinkTarget(),
             outside.filePath("client"));
    QCOMPARE(oldFiles, QStringList({spec.oldDestFileName(), client.oldDestFileName()}));
    QCOMPARE(snapshot(outside.path()), (QMap<QString, QString>()));
    QVERIFY(clientJournal.rollback(&clientTask));
    QCOMPARE(snapshot(root), before);
}

void TestFileReplaceTaskSpecification::resetAfterCommit()
{
    // Once committed, the changes are the installation journal's to undo. A
    // reset of the finished replacement must not undo them as well: the
    // journal's own undo would then delete the file that had been put back.
    const QString relative = Base + "/vl3client_linux_amd64";
    const FileReplaceSpecification spec = download(relative, "new client", false);
    QVERIFY(writeFile(installed(relative), "old client"));
    const auto before = snapshot(root);

    QList<QString> oldFiles;
    RollbackDataList journal;
    FileReplaceTaskSpecification task(spec, &oldFiles, &journal, &configuration, nullptr, 1.0);
    QCOMPARE(runTask(task).finished, 1);

    task.reset();
    QCOMPARE(task.state, TaskSpecification::Idle);
    QCOMPARE(readAll(installed(relative)), QByteArray("new client"));
    QCOMPARE(readAll(installed(spec.oldDestFileName())), QByteArray("old client"));

    QSignalSpy warnings(&task, &TaskSpecification::message);
    QVERIFY(journal.rollback(&task));
    QCOMPARE(warnings.count(), 0);
    QCOMPARE(snapshot(root), before);
}

QTEST_GUILESS_MAIN(TestFileReplaceTaskSpecification)
#include "tst_filereplacetaskspecification.moc"
