#include "fileopstestsupport.h"

#include "app/configuration.h"
#include "fileops/dircreatetaskspecification.h"
#include "fileops/filedeletelisttaskspecification.h"
#include "fileops/filereplacelisttaskspecification.h"
#include "fileops/filereplacetaskspecification.h"
#include "fileops/fileunziptaskspecification.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The installation of a whole replace list as one unit and the deletion of
// obsolete files after it, in the installation directory (the directory of
// this test executable, below a directory of its own). Every failure and
// every user cancel that ends the installation early must give back the
// installation exactly as it was, byte for byte.
class TestFileReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void subtasks_data();
    void subtasks();
    void installThenDelete();
    void failure_data();
    void failure();
    void failedUndoKeepsJournal();
    void userCancelUndoesAll();
    void userCancelAfterLastStarted();
    void emptyLists();
    void deleteList();
    void resetAfterCommit();
    void releaseDirectories();
    void releaseDirectoriesRolledBack();

private:
    // Puts the download for the installed path Base/dest into the temporary
    // directory and returns its replace record. A wrong MD5 makes the
    // unpacked file fail its check.
    FileReplaceSpecification download(const QString &dest, const QByteArray &content,
                                      bool compressed, bool wrongMd5 = false);

    std::unique_ptr<QTemporaryDir> downloads;
    Configuration configuration;
    QString root;
};

namespace {

const QString Base = QStringLiteral("tst_replacelist");

QString installed(const QString &dest)
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + Base + QLatin1Char('/') + dest;
}

QString journalPath()
{
    return Configuration::getAppRootPath() + QLatin1String("/update.journal");
}

// The directories below root, relative and sorted, joined by ",".
QString directories(const QString &root)
{
    const auto entries = snapshot(root);
    QStringList dirs;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        if (it.value() == QLatin1String("dir"))
            dirs << it.key();
    return dirs.join(QLatin1Char(','));
}

// Calls @p made with each replacement of @p list as it starts, while it is the newest step: the
// list makes a replacement only then, and each announces itself with "add/replace".
template<typename Made> void onReplacementMade(FileReplaceListTaskSpecification &list, Made made)
{
    QObject::connect(&list, &TaskSpecification::message, &list, [&list, made](const QString &text) {
        if (text.startsWith(QLatin1String("add/replace ")))
            made(subtasksOf(list).last());
    });
}

bool hasWarning(const QStringList &messages)
{
    for (const QString &line : messages)
        if (line.startsWith(QLatin1String("warning")))
            return true;
    return false;
}

} // namespace

void TestFileReplaceListTaskSpecification::init()
{
    downloads = std::make_unique<QTemporaryDir>();
    QVERIFY(downloads->isValid());
    configuration.tempDir = downloads->path();
    root = Configuration::getAppRootPath() + QLatin1Char('/') + Base;
    QDir(root).removeRecursively();
    QVERIFY(QDir().mkpath(root));
}

void TestFileReplaceListTaskSpecification::cleanup()
{
    QFile::remove(journalPath());
    QDir(root).removeRecursively();
    downloads.reset();
}

FileReplaceSpecification TestFileReplaceListTaskSpecification::download(const QString &dest,
                                                                        const QByteArray &content,
                                                                        bool compressed,
                                                                        bool wrongMd5)
{
    FileReplaceSpecification spec
        = stageReplacement(downloads->path(), Base + QLatin1Char('/') + dest, content, compressed);
    if (compressed && wrongMd5)
        spec.unzipMd5 = md5Of(content + "x");
    return spec;
}

void TestFileReplaceListTaskSpecification::subtasks_data()
{
    QTest::addColumn<QStringList>("dests");
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("expectedChain");
    // The directories in the installation each time a directory task ends.
    QTest::addColumn<QStringList>("dirsAfterDirTasks");

    const QString dir = "DirCreateTaskSpecification ";
    const QString rep = "FileReplaceTaskSpecification ";
    QTest::newRow("three files in one new directory")
        << QStringList {"new/f1", "new/f2", "new/f3"} << QStringList()
        << QStringList {dir + "0.1", rep + "0.3", rep + "0.3", rep + "0.3"} << QStringList {"new"};
    QTest::newRow("four files, no directory missing")
        << QStringList {"f1", "d/f2", "d/f3", "f4"} << QStringList {"d"}
        << QStringList {rep + "0.25", rep + "0.25", rep + "0.25", rep + "0.25"} << QStringList();
    // The parent first, so that undoing the journal removes it last.
    QTest::newRow("a/b/f before a/g")
        << QStringList {"a/b/f", "a/g"} << QStringList()
        << QStringList {dir + "0.05", dir + "0.05", rep + "0.45", rep + "0.45"}
        << QStringList {"a", "a,a/b"};
    QTest::newRow("a/b/f alone") << QStringList {"a/b/f"} << QStringList()
                                 << QStringList {dir + "0.1", rep + "0.9"} << QStringList {"a,a/b"};
    QTest::newRow("missing and existing directories")
        << QStringList {"x/y/f", "d/f", "x/g"} << QStringList {"d"}
        << QStringList {dir + "0.05", dir + "0.05", rep + "0.3", rep + "0.3", rep + "0.3"}
        << QStringList {"d,x", "d,x,x/y"};
}

void TestFileReplaceListTaskSpecification::subtasks()
{
    QFETCH(QStringList, dests);
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, expectedChain);
    QFETCH(QStringList, dirsAfterDirTasks);

    QList<FileReplaceSpecification> replaceList;
    for (const QString &dest : dests)
        replaceList << download(dest, "new " + dest.toUtf8(), false);
    for (const QString &dir : existingDirs)
        QVERIFY(QDir().mkpath(installed(dir)));
    QList<QString> deleteList;
    FileReplaceListTaskSpecification list(&replaceList, &deleteList, &configuration, nullptr, 0.4);

    QSignalSpy finished(&list, &TaskSpecification::finished);
    QSignalSpy canceled(&list, &TaskSpecification::canceled);
    QSignalSpy messages(&list, &TaskSpecification::message);
    // The directory steps exist once the list runs; each replacement is made when it starts.
    QStringList made;
    onReplacementMade(list, [&made](TaskSpecification *step) {
        made << QString::fromLatin1(step->metaObject()->className()) + QLatin1Char(' ')
                + QString::number(step->parentProgressRange);
    });
    list.execute();
    made = chain(list) + made;
    QStringList seen;
    for (TaskSpecification *subtask : subtasksOf(list))
        if (qobject_cast<DirCreateTaskSpecification *>(subtask))
            connect(subtask, &TaskSpecification::finished, &list,
                    [&seen, this] { seen << directories(root); });
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 60000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(list.state, TaskSpecification::Finished);
    QCOMPARE(list.progress, 0.4);
    QCOMPARE(made, expectedChain);
    QCOMPARE(seen, dirsAfterDirTasks);
    // Finished replacements are dropped; their changes belong to the installation.
    QTRY_COMPARE(chain(list), expectedChain.filter("DirCreateTaskSpecification"));

    QCOMPARE(messages.count(), 1 + dests.size());
    QCOMPARE(messages.first().first().toString(), QString("Starting file updates"));
    for (const QString &dest : dests)
        QCOMPARE(readAll(installed(dest)), "new " + dest.toUtf8());
    QVERIFY(deleteList.isEmpty());
}

void TestFileReplaceListTaskSpecification::installThenDelete()
{
    // A run's installation and deletion: ordinary files replaced and their
    // old copies deleted at the end, the updater's own files replaced with
    // their old copies kept, new files in new directories, obsolete files
    // deleted.
    QVERIFY(writeFile(installed("vl3client_linux_amd64"), "old client"));
    QVERIFY(writeFile(installed("update"), "old updater"));
    QVERIFY(writeFile(installed("plugins/imageformats/libqjpeg.so"), "old jpeg plugin"));
    QVERIFY(writeFile(installed("lib/libfoo.so.1"), "old foo"));
    QVERIFY(writeFile(installed("obsolete.txt"), "obsolete"));
    QVERIFY(writeFile(installed("kept.txt"), "kept"));

    const QByteArray client = text(2000000);
    QList<FileReplaceSpecification> replaceList {
        download("vl3client_linux_amd64", client, true),
        download("update", "new updater", false),
        download("plugins/imageformats/libqjpeg.so", "new jpeg plugin", true),
        download("lib/libfoo.so.1", "new foo", false),
        download("translations/de/client.qm", "new catalogue", true),
    };
    QList<QString> deleteList {Base + "/obsolete.txt", Base + "/never-there.txt"};
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                             0.4);
    // Made before the replacements add to its list.
    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
    remove.setInstallJournal(replace.diskJournal());

    const TaskRun replaced = runTask(replace);
    QCOMPARE(replaced.finished, 1);
    QCOMPARE(replaced.canceled, 0);
    QCOMPARE(replaced.state, TaskSpecification::Finished);
    QCOMPARE(replaced.messages.first(), QString("Starting file updates"));
    QVERIFY(!replaced.messages.contains("rolling back file updates"));
    QCOMPARE(chain(replace).first(), QString("DirCreateTaskSpecification 0.1"));
    // Committed on disk with what is still to delete, so that a crash from
    // here on is finished at the next start, not undone.
    const QByteArray journal = readAll(journalPath());
    QVERIFY2(journal.contains("\ncommit\n") && journal.endsWith("\nend\n"), journal.constData());
    QVERIFY(journal.contains("delete " + QByteArray(Base.toUtf8()) + "/obsolete.txt\n"));

    // Two replacements run at a time, so the order of ending is open.
    QStringList queued = deleteList;
    queued.sort();
    QCOMPARE(queued,
             QStringList({Base + "/_old_vl3client_linux_amd64", Base + "/lib/_old_libfoo.so.1",
                          Base + "/never-there.txt", Base + "/obsolete.txt"}));

    const TaskRun removed = runTask(remove);
    QCOMPARE(removed.finished, 1);
    QCOMPARE(removed.canceled, 0);
    QCOMPARE(removed.messages, QStringList {"Starting file deletes"});
    QCOMPARE(chain(remove), QStringList(4, "FileDeleteTaskSpecification 0.25"));
    QVERIFY(!QFileInfo::exists(journalPath()));

    QCOMPARE(snapshot(root).keys(),
             QStringList({"_old_update", "kept.txt", "lib", "lib/libfoo.so.1", "plugins",
                          "plugins/imageformats", "plugins/imageformats/_old_libqjpeg.so",
                          "plugins/imageformats/libqjpeg.so", "translations", "translations/de",
                          "translations/de/client.qm", "update", "vl3client_linux_amd64"}));
    QCOMPARE(md5OfFile(installed("vl3client_linux_amd64")), md5Of(client));
    QCOMPARE(mode(installed("vl3client_linux_amd64")), 0755);
    QCOMPARE(readAll(installed("update")), QByteArray("new updater"));
    QCOMPARE(mode(installed("update")), 0755);
    QCOMPARE(readAll(installed("_old_update")), QByteArray("old updater"));
    QCOMPARE(readAll(installed("plugins/imageformats/libqjpeg.so")), QByteArray("new jpeg plugin"));
    QCOMPARE(readAll(installed("plugins/imageformats/_old_libqjpeg.so")),
             QByteArray("old jpeg plugin"));
    QCOMPARE(readAll(installed("lib/libfoo.so.1")), QByteArray("new foo"));
    QCOMPARE(readAll(installed("translations/de/client.qm")), QByteArray("new catalogue"));
    QCOMPARE(readAll(installed("kept.txt")), QByteArray("kept"));
}

void TestFileReplaceListTaskSpecification::failure_data()
{
    QTest::addColumn<QString>("failure");

    // The two before it end normally and commit to the installation journal
    // (before the failure or while the list waits for them).
    QTest::newRow("last replacement fails, the others committed") << "last fails";
    // The list lets the replacement still under way end and then undoes it
    // as well.
    QTest::newRow("first replacement fails, second under way") << "first fails";
    QTest::newRow("missing directory cannot be created") << "directory blocked";
    // A journal that a crash left is the next start's to repair; an
    // installation never begins over it.
    QTest::newRow("journal of an interrupted installation") << "journal left";
}

void TestFileReplaceListTaskSpecification::failure()
{
    QFETCH(QString, failure);

    QVERIFY(writeFile(installed("vl3client_linux_amd64"), "old client"));
    QVERIFY(writeFile(installed("lib/libfoo.so"), "old foo"));
    QVERIFY(writeFile(installed("lib/_old_libfoo.so"), "left over from an earlier run"));
    QVERIFY(writeFile(installed("readme.txt"), "old readme"));

    QList<FileReplaceSpecification> replaceList;
    if (failure == "last fails") {
        replaceList << download("a/b/new.txt", "new file in new directories", false)
                    << download("vl3client_linux_amd64", noise(100000, 1), false)
                    << download("lib/libfoo.so", text(500000), true, true);
    } else if (failure == "first fails") {
        // Nothing pending behind the two, so how they interleave does not
        // change which of them run.
        replaceList << download("lib/libfoo.so", "new foo", true, true)
                    << download("vl3client_linux_amd64", noise(8000000, 2), false);
    } else if (failure == "journal left") {
        QVERIFY(writeFile(journalPath(), "varnolt-install-journal 1\n"));
        replaceList << download("readme.txt", "new readme", false);
    } else {
        QVERIFY(writeFile(installed("blocked"), "a file where a directory should be"));
        replaceList << download("readme.txt", "new readme", false)
                    << download("blocked/f", "new file", false)
                    << download("new/f", "new file", false);
    }
    // The left-over old copy is deleted for good before the replacement of
    // lib/libfoo.so changes anything; it is not part of the installation.
    auto expected = snapshot(root);
    if (failure != "directory blocked" && failure != "journal left")
        expected.remove("lib/_old_libfoo.so");
    const auto downloadsBefore = contentSnapshot(downloads->path());

    QList<QString> deleteList {Base + "/obsolete.txt"};
    FileReplaceListTaskSpecification list(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    const TaskRun run = runTask(list);
    QCOMPARE(run.finished, 0);
    QCOMPARE(run.canceled, 1);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(run.messages.first(), QString("Starting file updates"));
    if (failure == "journal left") {
        QCOMPARE(run.messages.last(), "Could not create the installation journal " + journalPath());
        QCOMPARE(readAll(journalPath()), QByteArray("varnolt-install-journal 1\n"));
    } else {
        QCOMPARE(run.messages.last(), QString("rolling back file updates"));
        QCOMPARE(run.messages.count("rolling back file updates"), 1);
        // Undone in full: nothing for the next start to repair.
        QVERIFY(!QFileInfo::exists(journalPath()));
    }
    QVERIFY2(!hasWarning(run.messages), qPrintable(run.messages.join('\n')));

    // Everything given back: new files gone, replaced files back under their
    // names, created directories removed.
    QCOMPARE(snapshot(root), expected);
    QCOMPARE(readAll(installed("vl3client_linux_amd64")), QByteArray("old client"));
    QCOMPARE(readAll(installed("lib/libfoo.so")), QByteArray("old foo"));
    QCOMPARE(contentSnapshot(downloads->path()), downloadsBefore);

    // The steps left: the directories, and the replacements that did not finish (finished ones
    // are dropped once their changes belong to the installation's journal).
    QList<TaskSpecification::TaskState> states;
    for (const TaskSpecification *step : subtasksOf(list))
        states << step->state;
    using S = TaskSpecification;
    const int replacements = run.messages.filter(QRegularExpression("^add/replace ")).size();
    if (failure == "last fails") {
        QVERIFY(run.messages.contains("Signature check failed for " + installed("lib/libfoo.so")));
        QCOMPARE(states, QList<S::TaskState>({S::Finished, S::ErrorCanceled}));
        QCOMPARE(replacements, 3);
    } else if (failure == "first fails") {
        QVERIFY(run.messages.contains("Signature check failed for " + installed("lib/libfoo.so")));
        QCOMPARE(states, QList<S::TaskState>({S::ErrorCanceled}));
        QCOMPARE(replacements, 2);
    } else if (failure == "journal left") {
        QCOMPARE(states, QList<S::TaskState>());
        QCOMPARE(replacements, 0);
    } else {
        QVERIFY(run.messages.contains("Could not create dir '" + installed("blocked")
                                      + "' because it already exists and is not a dir"));
        // The replacement of readme.txt would have started beside the
        // directory tasks if the directories did not come first.
        QCOMPARE(states, QList<S::TaskState>({S::ErrorCanceled, S::Idle}));
        QCOMPARE(replacements, 0);
        QCOMPARE(readAll(installed("readme.txt")), QByteArray("old readme"));
    }
}

void TestFileReplaceListTaskSpecification::failedUndoKeepsJournal()
{
    // The old copy of a finished replacement vanishes before the failed
    // installation is undone: the client cannot be given back now, and the
    // journal is the only record left of what the next start has to set
    // right. It must stay.
    QVERIFY(writeFile(installed("vl3client_linux_amd64"), "old client"));
    QList<FileReplaceSpecification> replaceList {
        download("vl3client_linux_amd64", noise(100000, 1), false),
        download("lib/libfoo.so", text(500000), true, true),
    };
    QList<QString> deleteList;
    FileReplaceListTaskSpecification list(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    onReplacementMade(list, [this](TaskSpecification *step) {
        connect(step, &TaskSpecification::finished, this,
                [] { QFile::remove(installed("_old_vl3client_linux_amd64")); });
    });
    const TaskRun run = runTask(list);
    QCOMPARE(run.state, TaskSpecification::ErrorCanceled);
    QVERIFY(run.messages.contains("rolling back file updates"));
    QVERIFY2(hasWarning(run.messages), qPrintable(run.messages.join('\n')));
    QVERIFY(readAll(journalPath()).startsWith("varnolt-install-journal 1\n"));
}

void TestFileReplaceListTaskSpecification::userCancelUndoesAll()
{
    // Cancelled when the second replacement has unpacked its file but not
    // checked it yet. The first one, already copying, still ends and
    // commits; the second stops before its check and undoes its own
    // changes; whatever the third did is undone with the rest.
    QVERIFY(writeFile(installed("vl3client_linux_amd64"), "old client"));
    QVERIFY(writeFile(installed("readme.txt"), "old readme"));
    const auto before = snapshot(root);
    QList<FileReplaceSpecification> replaceList {
        download("new/dir/first.txt", noise(500000, 4), false),
        download("vl3client_linux_amd64", text(1000000), true),
        download("readme.txt", "new readme", false),
    };
    QList<QString> deleteList;
    FileReplaceListTaskSpecification list(&replaceList, &deleteList, &configuration, nullptr, 0.4);

    QSignalSpy finished(&list, &TaskSpecification::finished);
    QSignalSpy canceled(&list, &TaskSpecification::canceled);
    QSignalSpy messages(&list, &TaskSpecification::message);
    QList<QPointer<TaskSpecification>> steps;
    bool hooked = false;
    onReplacementMade(list, [&](TaskSpecification *step) {
        steps << step;
        if (steps.size() != 2)
            return;
        // The second replacement makes its steps once it has announced itself; each one added
        // announces itself with a progress report.
        connect(step, &TaskSpecification::updateProgress, this, [&, step] {
            auto *unpack = step->findChild<FileUnzipTaskSpecification *>(
                QString(), Qt::FindDirectChildrenOnly);
            if (hooked || !unpack)
                return;
            hooked = true;
            connect(unpack, &TaskSpecification::finished, this, [&list] { list.userCanceled(); });
        });
    });
    list.execute();
    QCOMPARE(subtasksOf(list).size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 60000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();

    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(list.state, TaskSpecification::UserCanceled);
    // The first finished and was dropped; the second stopped before its check.
    QTRY_VERIFY(!steps.at(0));
    QVERIFY(steps.at(1));
    QCOMPARE(steps.at(1)->state, TaskSpecification::UserCanceled);
    QCOMPARE(chain(*steps.at(1)),
             QStringList({"FileRenameTaskSpecification 0.1", "FileUnzipTaskSpecification 0.7",
                          "CheckSignatureTaskSpecification 0.2"}));
    QCOMPARE(subtasksOf(*steps.at(1)).at(1)->state, TaskSpecification::Finished);
    QCOMPARE(subtasksOf(*steps.at(1)).at(2)->state, TaskSpecification::Idle);
    const QStringList lines = signalTexts(messages);
    QCOMPARE(lines.last(), QString("rolling back file updates"));
    QVERIFY2(!hasWarning(lines), qPrintable(lines.join('\n')));
    QCOMPARE(snapshot(root), before);
}

void TestFileReplaceListTaskSpecification::userCancelAfterLastStarted()
{
    // Cancelled while the last replacement copies its file, its last step:
    // nothing is left that the cancel could stop, so the installation
    // finishes and stays.
    QVERIFY(writeFile(installed("readme.txt"), "old readme"));
    const QByteArray client = noise(6000000, 3);
    QList<FileReplaceSpecification> replaceList {
        download("readme.txt", "new readme", false),
        download("vl3client_linux_amd64", client, false),
    };
    QList<QString> deleteList;
    FileReplaceListTaskSpecification list(&replaceList, &deleteList, &configuration, nullptr, 0.4);

    QSignalSpy finished(&list, &TaskSpecification::finished);
    QSignalSpy canceled(&list, &TaskSpecification::canceled);
    QSignalSpy messages(&list, &TaskSpecification::message);
    // Not in the list's name: the list lets go of a replacement as soon as it has finished.
    onReplacementMade(list, [this, &list](TaskSpecification *step) {
        if (list.findChildren<FileReplaceTaskSpecification *>().size() == 1)
            connect(step, &TaskSpecification::finished, this, [&list] { list.userCanceled(); });
    });
    list.execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 60000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(list.state, TaskSpecification::Finished);
    QVERIFY(list.cancelRequested);
    for (const QList<QVariant> &args : messages)
        QVERIFY(args.first().toString() != "rolling back file updates");
    QCOMPARE(readAll(installed("readme.txt")), QByteArray("new readme"));
    QCOMPARE(readAll(installed("_old_readme.txt")), QByteArray("old readme"));
    QCOMPARE(md5OfFile(installed("vl3client_linux_amd64")), md5Of(client));
    QCOMPARE(deleteList, QStringList {Base + "/_old_readme.txt"});
}

void TestFileReplaceListTaskSpecification::emptyLists()
{
    QVERIFY(writeFile(installed("readme.txt"), "installed"));
    const auto before = snapshot(root);
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;

    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                             0.4);
    const TaskRun replaced = runTask(replace);
    QVERIFY(replaced.endedInsideExecute);
    QCOMPARE(replaced.finished, 1);
    QCOMPARE(replaced.canceled, 0);
    QCOMPARE(replaced.messages, QStringList {"Starting file updates"});
    QCOMPARE(replace.progress, 0.4);
    QVERIFY(subtasksOf(replace).isEmpty());

    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
    const TaskRun removed = runTask(remove);
    QVERIFY(removed.endedInsideExecute);
    QCOMPARE(removed.finished, 1);
    QCOMPARE(removed.canceled, 0);
    QCOMPARE(removed.messages, QStringList {"Starting file deletes"});
    QCOMPARE(remove.progress, 0.05);
    QVERIFY(subtasksOf(remove).isEmpty());

    QCOMPARE(snapshot(root), before);
}

void TestFileReplaceListTaskSpecification::deleteList()
{
    // Best effort: what is missing is skipped without a word, what cannot be
    // deleted with a warning, and the list always finishes.
    QVERIFY(writeFile(installed("a.txt"), "a"));
    QVERIFY(writeFile(installed("sub/b.txt"), "b"));
    QVERIFY(writeFile(installed("directory/inside"), "kept"));
    QVERIFY(writeFile(installed("kept.txt"), "kept"));
    QList<QString> entries {Base + "/a.txt", Base + "/missing.txt"};
    FileDeleteListTaskSpecification task(&entries, nullptr, 0.05);
    // Read when the task executes, not when it is made.
    entries << Base + "/directory" << Base + "/sub/b.txt" << Base + "/sub/missing/c.txt";

    const TaskRun run = runTask(task);
    QCOMPARE(run.finished, 1);
    QCOMPARE(run.canceled, 0);
    QVERIFY(run.signalsNameTask);
    QCOMPARE(run.state, TaskSpecification::Finished);
    QCOMPARE(run.messages,
             QStringList({"Starting file deletes",
                          "warning: could not delete '" + installed("directory") + "'"}));
    QCOMPARE(run.progress.last(), 0.05);
    QCOMPARE(chain(task), QStringList(5, "FileDeleteTaskSpecification 0.2"));
    QCOMPARE(snapshot(root).keys(),
             QStringList({"directory", "directory/inside", "kept.txt", "sub"}));
}

void TestFileReplaceListTaskSpecification::resetAfterCommit()
{
    // A finished installation is committed: once the delete list has taken
    // the old copies, undoing it could only delete the new files. A reset
    // must leave it alone.
    QVERIFY(writeFile(installed("vl3client_linux_amd64"), "old client"));
    QList<FileReplaceSpecification> replaceList {
        download("vl3client_linux_amd64", "new client", false),
        download("new/readme.txt", "new readme", false),
    };
    QList<QString> deleteList;
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                             0.4);
    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
    QCOMPARE(runTask(replace).finished, 1);
    QCOMPARE(runTask(remove).finished, 1);
    const auto installation = snapshot(root);

    QSignalSpy warnings(&replace, &TaskSpecification::message);
    replace.reset();
    QCOMPARE(replace.state, TaskSpecification::Idle);
    QCOMPARE(warnings.count(), 0);
    QCOMPARE(snapshot(root), installation);
    QCOMPARE(readAll(installed("vl3client_linux_amd64")), QByteArray("new client"));
    QCOMPARE(readAll(installed("new/readme.txt")), QByteArray("new readme"));
}

void TestFileReplaceListTaskSpecification::releaseDirectories()
{
    // Nothing to install but the release's empty directories: they are made under the journal
    // all the same. Afterwards the directories it dropped go, deepest first, if empty then;
    // one the user filled stays.
    QVERIFY(QDir(root).mkpath("old/sub"));
    QVERIFY(QDir(root).mkpath("kept/sub"));
    QVERIFY(writeFile(installed("filled/mine.txt"), "the user's"));
    QVERIFY(writeFile(installed("old/gone.txt"), "obsolete"));
    QVERIFY(writeFile(installed("file"), "a file, not a directory"));
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList {Base + "/old/gone.txt"};
    const QList<QString> directoryList {Base + "/cache", Base + "/empty/deep", Base + "/kept"};
    const QList<QString> dropped {Base + "/old/sub", Base + "/old", Base + "/filled",
                                  Base + "/file", Base + "/missing"};
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                             0.4);
    replace.setDirectoryList(&directoryList);
    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
    remove.setInstallJournal(replace.diskJournal());
    remove.setDropDirectoryList(&dropped);

    const TaskRun replaced = runTask(replace);
    QCOMPARE(replaced.finished, 1);
    QCOMPARE(replace.progress, 0.4);
    // The one that exists is left alone.
    QCOMPARE(chain(replace), QStringList(2, "DirCreateTaskSpecification 0.5"));
    const QByteArray journal = readAll(journalPath());
    QVERIFY2(journal.contains("\ncommit\n")
                 && journal.contains(" " + Base.toUtf8() + "/empty/deep\n"),
             journal.constData());

    const TaskRun removed = runTask(remove);
    QCOMPARE(removed.finished, 1);
    QCOMPARE(removed.messages,
             QStringList({"Starting file deletes",
                          "kept the directory '" + installed("filled")
                              + "': it is no longer part of the client but holds files"}));
    QCOMPARE(chain(remove).last(), QString("DirRemoveTaskSpecification 0.166667"));
    QVERIFY(!QFileInfo::exists(journalPath()));
    QCOMPARE(snapshot(root).keys(),
             QStringList({"cache", "empty", "empty/deep", "file", "filled", "filled/mine.txt",
                          "kept", "kept/sub"}));
}

void TestFileReplaceListTaskSpecification::releaseDirectoriesRolledBack()
{
    // The directories are changes of the installation like its files: a failed installation
    // takes them back.
    const auto before = snapshot(root);
    QList<FileReplaceSpecification> replaceList {download("lib/libfoo.so", "foo", true, true)};
    QList<QString> deleteList;
    const QList<QString> directoryList {Base + "/cache/deep"};
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                             0.4);
    replace.setDirectoryList(&directoryList);
    const TaskRun replaced = runTask(replace);
    QCOMPARE(replaced.canceled, 1);
    QVERIFY(replaced.messages.contains("rolling back file updates"));
    QCOMPARE(snapshot(root), before);
    QVERIFY(!QFileInfo::exists(journalPath()));
}

QTEST_GUILESS_MAIN(TestFileReplaceListTaskSpecification)
#include "tst_filereplacelisttaskspecification.moc"
