#include "fileops/installjournal.h"

#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTest>

// The journal as a crash leaves it, read back by the next start: each row
// writes a journal and the files a crash left, recovers, and compares the
// installation and the outcome. (Whole installations killed at every kind of
// call are in the crash tests of the engine.)
class TestInstallJournal : public QObject
{
    Q_OBJECT

private slots:
    void recover_data();
    void recover();
};

namespace {

// "name=content" entries, "name/" for a directory, sorted.
QStringList listing(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        result << (it.fileInfo().isDir() ? relative + '/' : relative + '=' + readAll(path));
    }
    result.sort();
    return result;
}

} // namespace

void TestInstallJournal::recover_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("changes");
    QTest::addColumn<QStringList>("after");

    using R = InstallJournal::Recovery;
    const QByteArray header = "varnolt-install-journal 1\n";
    // Killed after the old client got its second name, the new one in place,
    // a new file and a new directory made, one more file announced only.
    const QByteArray uncommitted
        = header + "dir new\nrename client _old_client\nfile new/lib.so\nfile data%20file%25.txt\n";
    const QStringList crashed {"client=new client", "_old_client=old client", "new/",
                               "new/lib.so=new lib", ".client.varnolt-new=staged"};
    QTest::newRow("not committed: undone")
        << uncommitted << crashed << int(R::Undone) << 4 << QStringList {"client=old client"};
    // A record cut off by the crash was never synced; its change never began.
    QTest::newRow("torn last record ignored")
        << uncommitted + "file new/oth" << crashed << int(R::Undone) << 4
        << QStringList {"client=old client"};
    QTest::newRow("commit cut short: undone")
        << uncommitted + "commit\ndelete _old_client\n"
        << crashed << int(R::Undone) << 4 << QStringList {"client=old client"};
    // Nothing changed yet, or the rollback had already put everything back.
    QTest::newRow("old copy already back")
        << uncommitted << QStringList {"client=old client"} << int(R::Undone) << 4
        << QStringList {"client=old client"};
    // Killed before the installed file got its second name: the file of that
    // name is someone else's (its identity is not the one recorded).
    QTest::newRow("stale old copy left alone")
        << header + "rename client _old_client 1:2\n"
        << QStringList {"client=old client", "_old_client=stale"} << int(R::Undone) << 1
        << QStringList {"client=old client", "_old_client=stale"};
    QTest::newRow("header only") << header << QStringList {"client=old client"} << int(R::Undone)
                                 << 0 << QStringList {"client=old client"};
    QTest::newRow("empty journal") << QByteArray() << QStringList {"client=old client"}
                                   << int(R::Undone) << 0 << QStringList {"client=old client"};
    // What is in a new directory that is not the journal's stays, and so does the directory.
    QTest::newRow("foreign file in a new directory")
        << uncommitted << (QStringList(crashed) << "new/mine=keep") << int(R::Undone) << 4
        << QStringList {"client=old client", "new/", "new/mine=keep"};
    QTest::newRow("committed: finished")
        << uncommitted + "commit\ndelete _old_client\ndelete obsolete\nend\n"
        << (QStringList {"client=new client", "_old_client=old client", "new/", "new/lib.so=x",
                         "obsolete=old"})
        << int(R::Finished) << 0 << QStringList {"client=new client", "new/", "new/lib.so=x"};
    // Never acted on: the installation stays as the crash left it.
    QTest::newRow("unknown record") << header + "chmod client\n"
                                    << crashed << int(R::Failed) << 0 << crashed;
    QTest::newRow("path leaving the installation") << header + "file ../elsewhere\n"
                                                   << crashed << int(R::Failed) << 0 << crashed;
    QTest::newRow("absolute path") << header + "file /etc/passwd\n"
                                   << crashed << int(R::Failed) << 0 << crashed;
    QTest::newRow("not a journal")
        << QByteArray("[current]\nversion=2\n") << crashed << int(R::Failed) << 0 << crashed;
}

void TestInstallJournal::recover()
{
    QFETCH(QByteArray, journal);
    QFETCH(QStringList, before);
    QFETCH(int, outcome);
    QFETCH(int, changes);
    QFETCH(QStringList, after);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const QString &entry : before) {
        if (entry.endsWith('/'))
            QVERIFY(QDir().mkpath(root.filePath(entry)));
        else
            QVERIFY(
                writeFile(root.filePath(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8()));
    }
    const QString journalPath = root.filePath(InstallJournal::fileName());
    QVERIFY(writeFile(journalPath, journal));

    const InstallJournal::Recovery recovery = InstallJournal::recover(root.path());
    QCOMPARE(int(recovery.outcome), outcome);
    QCOMPARE(recovery.changes, changes);
    QCOMPARE(recovery.problem.isEmpty(), outcome != int(InstallJournal::Recovery::Failed));
    QStringList expected = after;
    if (outcome == int(InstallJournal::Recovery::Failed))
        expected << "update.journal=" + QString::fromUtf8(journal);
    expected.sort();
    QCOMPARE(listing(root.path()), expected);

    // Recovered once, there is nothing left to do.
    if (outcome != int(InstallJournal::Recovery::Failed))
        QCOMPARE(int(InstallJournal::recover(root.path()).outcome),
                 int(InstallJournal::Recovery::Nothing));
}

QTEST_GUILESS_MAIN(TestInstallJournal)
#include "tst_installjournal.moc"
