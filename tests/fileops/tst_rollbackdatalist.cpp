#include "fileopstestsupport.h"

#include "fileops/filedeletetaskspecification.h"
#include "fileops/rollbackdatalist.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The undo journal on real files: records are undone newest first, a failed
// undo warns and lets the others proceed, and nothing is undone twice.
class TestRollbackDataList : public QObject
{
    Q_OBJECT

private slots:
    void undoesNewestFirst();
    void failedUndoWarnsAndContinues_data();
    void failedUndoWarnsAndContinues();
    void emptyJournal();
    void appendKeepsOrderAndSource();
    void clearKeepsChanges();
    void refilledAfterUndo();
};

namespace {

// Warnings travel through the message() signal of a task; any task will do.
struct Reporter
{
    Reporter() : task(false, QString(), nullptr, 1.0), spy(&task, &TaskSpecification::message) { }
    QStringList messages() const { return signalTexts(spy); }
    FileDeleteTaskSpecification task;
    QSignalSpy spy;
};

QStringList paths(const RollbackDataList &journal)
{
    QStringList result;
    for (const RollbackData &record : journal.records())
        result << record.path;
    return result;
}

} // namespace

void TestRollbackDataList::undoesNewestFirst()
{
    // A new directory, an installed file moved aside and a new file under the
    // installed name. In any other order the moved-aside file could not get
    // its name back (the new file still holds it).
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString f = dir.filePath("client.bin");
    const QString g = dir.filePath("_old_client.bin");
    const QString d = dir.filePath("plugins");
    QVERIFY(writeFile(f, "installed version"));
    const auto before = snapshot(dir.path());

    RollbackDataList journal;
    QVERIFY(QDir(dir.path()).mkdir("plugins"));
    journal.add(RollbackData(RollbackData::CreateDir, d));
    QVERIFY(QFile::rename(f, g));
    journal.add(RollbackData(RollbackData::Rename, f, g));
    QVERIFY(writeFile(f, "new version"));
    journal.add(RollbackData(RollbackData::CreateFile, f));
    QCOMPARE(journal.records().at(1).path, g);
    QCOMPARE(journal.records().at(1).previousPath, f);
    QVERIFY(journal.records().at(0).previousPath.isEmpty());

    Reporter reporter;
    QVERIFY(journal.rollback(&reporter.task));
    QCOMPARE(reporter.messages(), QStringList());
    QVERIFY(journal.isEmpty());
    QCOMPARE(snapshot(dir.path()), before);
    QCOMPARE(readAll(f), QByteArray("installed version"));
}

void TestRollbackDataList::failedUndoWarnsAndContinues_data()
{
    QTest::addColumn<bool>("withReporter");
    QTest::newRow("task as reporter") << true;
    QTest::newRow("null reporter") << false;
}

void TestRollbackDataList::failedUndoWarnsAndContinues()
{
    QFETCH(bool, withReporter);
    // The directory name holds "%2" so that a warning composed argument by
    // argument would put the second path inside the first.
    QTemporaryDir dir(QDir::tempPath() + "/journal %2 XXXXXX");
    QVERIFY(dir.isValid());
    const QString emptyDir = dir.filePath("empty");
    const QString fullDir = dir.filePath("full");
    const QString created = dir.filePath("created.txt");
    const QString vanished = dir.filePath("vanished.txt");
    const QString movedFrom = dir.filePath("lib.so");
    const QString movedTo = dir.filePath("_old_lib.so");
    QVERIFY(QDir().mkpath(emptyDir));
    QVERIFY(writeFile(fullDir + "/left by someone else", "keep"));
    QVERIFY(writeFile(created, "new"));
    // The old copy goes back over the new file that took its name.
    QVERIFY(writeFile(movedTo, "old library"));
    QVERIFY(writeFile(movedFrom, "new library"));
    // A link to nothing holds a name as well; it is replaced, never written through.
    const QString linkedFrom = dir.filePath("plugin.so");
    const QString linkedTo = dir.filePath("_old_plugin.so");
    QVERIFY(writeFile(linkedTo, "old plugin"));
    QVERIFY(QFile::link(dir.filePath("elsewhere.so"), linkedFrom));
    // An old copy that is gone cannot be given back.
    const QString lostFrom = dir.filePath("data.pak");
    const QString lostTo = dir.filePath("_old_data.pak");
    QVERIFY(writeFile(lostFrom, "new data"));

    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, emptyDir));
    journal.add(RollbackData(RollbackData::CreateDir, fullDir));
    journal.add(RollbackData(RollbackData::CreateFile, created));
    journal.add(RollbackData(RollbackData::CreateFile, vanished));
    journal.add(RollbackData(RollbackData::Rename, lostFrom, lostTo));
    journal.add(RollbackData(RollbackData::Rename, movedFrom, movedTo));
    journal.add(RollbackData(RollbackData::Rename, linkedFrom, linkedTo));

    Reporter reporter;
    QVERIFY(!journal.rollback(withReporter ? &reporter.task : nullptr));
    QVERIFY(journal.isEmpty());

    // Every record was tried, newest first, one warning per failure.
    if (withReporter) {
        const QStringList expected {
            "warning: rollback rename " + lostFrom + " to " + lostTo + " failed",
            "warning: rollback create file " + vanished + " failed",
            "warning: rollback create dir " + fullDir + " failed",
        };
        QCOMPARE(reporter.messages(), expected);
    } else {
        QCOMPARE(reporter.messages(), QStringList());
    }
    QVERIFY(!QFileInfo::exists(created));
    QVERIFY(!QFileInfo::exists(emptyDir));
    // Nothing that is not the journal's is removed to force an undo through.
    QCOMPARE(readAll(fullDir + "/left by someone else"), QByteArray("keep"));
    QCOMPARE(readAll(lostFrom), QByteArray("new data"));
    QCOMPARE(readAll(movedFrom), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(movedTo));
    QVERIFY(!QFileInfo(linkedFrom).isSymLink());
    QCOMPARE(readAll(linkedFrom), QByteArray("old plugin"));
    QVERIFY(!QFileInfo::exists(dir.filePath("elsewhere.so")));
}

void TestRollbackDataList::emptyJournal()
{
    RollbackDataList journal;
    Reporter reporter;
    QVERIFY(journal.rollback(&reporter.task));
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(reporter.spy.count(), 0);
}

void TestRollbackDataList::appendKeepsOrderAndSource()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RollbackDataList installation;
    installation.add(RollbackData(RollbackData::CreateDir, dir.filePath("a")));
    RollbackDataList replacement;
    replacement.add(RollbackData(RollbackData::Rename, dir.filePath("f"), dir.filePath("_old_f")));
    replacement.add(RollbackData(RollbackData::CreateFile, dir.filePath("f")));

    installation.appendList(replacement);
    QCOMPARE(paths(installation),
             QStringList({dir.filePath("a"), dir.filePath("_old_f"), dir.filePath("f")}));
    QCOMPARE(paths(replacement), QStringList({dir.filePath("_old_f"), dir.filePath("f")}));

    replacement.appendList(replacement);
    QCOMPARE(paths(replacement),
             QStringList({dir.filePath("_old_f"), dir.filePath("f"), dir.filePath("_old_f"),
                          dir.filePath("f")}));

    // The merged journal deletes the replacement's new file before it
    // removes the directory that holds it.
    QVERIFY(QDir(dir.path()).mkdir("a"));
    QVERIFY(writeFile(dir.filePath("a/f"), "new"));
    RollbackDataList merged;
    merged.add(RollbackData(RollbackData::CreateDir, dir.filePath("a")));
    RollbackDataList inner;
    inner.add(RollbackData(RollbackData::CreateFile, dir.filePath("a/f")));
    merged.appendList(inner);
    QVERIFY(merged.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(dir.filePath("a")));
}

void TestRollbackDataList::clearKeepsChanges()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("installed"), "new"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, dir.filePath("installed")));
    journal.clear();
    QVERIFY(journal.isEmpty());
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(readAll(dir.filePath("installed")), QByteArray("new"));
}

void TestRollbackDataList::refilledAfterUndo()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RollbackDataList journal;
    for (int round = 0; round < 2; ++round) {
        QVERIFY(writeFile(dir.filePath("f"), "round"));
        journal.add(RollbackData(RollbackData::CreateFile, dir.filePath("f")));
        QVERIFY(journal.rollback(nullptr));
        QVERIFY(!QFileInfo::exists(dir.filePath("f")));
    }
}

QTEST_GUILESS_MAIN(TestRollbackDataList)
#include "tst_rollbackdatalist.moc"
