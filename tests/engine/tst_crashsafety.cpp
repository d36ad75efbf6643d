#include "httpmirror.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

// Installations interrupted at an exact system call: the real updater runs
// under strace, which kills it (or makes the call fail) at the Nth call of
// one kind in one thread. Whatever the instant, the installation must end as
// version 1 or as version 2, never as a mix, once the next start has
// repaired it; and a normal run then brings it to version 2.
class TestCrashSafety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void killedAnywhere_data();
    void killedAnywhere();
    void failingDisk_data();
    void failingDisk();
    void secondStartKeepsOldCopies();

private:
    // One call of the traced run: its kind, its number among the calls of
    // that kind in its thread, and whether it lies inside the installation.
    struct Call
    {
        QString name;
        int number = 0;
        bool installing = false;
        bool onInstallation = false;
        // The traced line, to say where a failing point was.
        QString text;
        // The file or directory the call is on (its descriptor's, or the
        // first it names), relative to the installation, if it is in there.
        QString file;
        QString thread;
    };
    struct Run
    {
        bool ended = false;
        QString log;
        QString trace;
    };

    // Runs "update --nouser TYPE 2" in the installation, under strace with
    // the given extra arguments (none: without strace), until it has ended
    // (or was killed).
    Run runTraced(const QStringList &straceArgs);
    // Starts the updater without a run, as a user would after a crash, and
    // returns its log once the window is up.
    QString startWithoutRun();
    void checkVersion(const char *when, bool *isTwo = nullptr);
    QMap<QString, QString> snapshot() const;
    // Up to count points of the given kinds from the traced run, spread
    // over the installation.
    // With a file, only the calls on it count and are numbered, as strace
    // -P counts them.
    QList<Call> pick(const QStringList &names, int count, const QString &file) const;

    QTemporaryDir mirrorRoot;
    std::unique_ptr<TestHttpMirror> mirror;
    std::unique_ptr<UdpAnswerServer> versionServer;
    std::unique_ptr<InstallationDir> installation;
    std::unique_ptr<QTemporaryDir> tmp;
    QByteArray updaterTwo;
    QMap<QString, QString> versionOne;
    QMap<QString, QString> versionTwo;
    QList<Call> calls;
};

namespace {

const QString Type = QStringLiteral("client_linux_amd64");
const QStringList TracedCalls {"rename", "renameat", "renameat2", "link",   "linkat",  "openat",
                               "write",  "fsync",    "fdatasync", "unlink", "unlinkat"};

void writeClient(const QString &root, int version)
{
    writeTreeFile(root, QStringLiteral("vl3client_runscript.sh"),
                  "#!/bin/sh\necho " + QByteArray::number(version) + "\n");
    writeTreeFile(root, QStringLiteral("data/common.dat"), pattern(300000));
    writeTreeFile(root, QStringLiteral("data/version.txt"),
                  "version " + QByteArray::number(version));
    // Several files replaced, so that each kind of call comes many times.
    for (int i = 0; i < 6; ++i)
        writeTreeFile(root, QStringLiteral("data/part%1.dat").arg(i),
                      pattern(20000 + i, char('a' + version + i)));
    if (version == 1) {
        writeTreeFile(root, QStringLiteral("data/obsolete.txt"), "obsolete");
        writeTreeFile(root, QStringLiteral("data/changed.dat"), pattern(200000, 'x'));
    } else {
        writeTreeFile(root, QStringLiteral("data/changed.dat"), pattern(250000, 'y'));
        writeTreeFile(root, QStringLiteral("data/levels/levels.dat"), pattern(400000, 'l'));
        writeTreeFile(root, QStringLiteral("lib/libclient.so.4"), pattern(50000, 'c'));
    }
}

QString toolPath(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

} // namespace

void TestCrashSafety::initTestCase()
{
    QVERIFY2(!toolPath("strace").isEmpty(), "strace is needed (scripts/install-deps.sh)");
    QVERIFY(!toolPath("taskset").isEmpty());
    QVERIFY(mirrorRoot.isValid());
    mirror = std::make_unique<TestHttpMirror>();
    mirror->setRootPath(mirrorRoot.path());
    versionServer = std::make_unique<UdpAnswerServer>(QList<QByteArray> {"2,2,2"});

    // Version 2 changes a file, adds files in new directories (one of them
    // gzipped), deletes one and brings a new updater, which still runs.
    QTemporaryDir source;
    writeClient(source.path(), 2);
    updaterTwo = readAll(updaterExecutable()) + "\nversion 2 of the updater\n";
    QVERIFY(writeFile(source.filePath("update"), updaterTwo));
    // Most parts are stored compressed: a plain download is linked into place, an unpacked one
    // is staged in its directory, and both ways must be killed often enough.
    QStringList extra {"--gzip", "data/levels/levels.dat", "--delete", "data/obsolete.txt"};
    for (int i = 0; i < 5; ++i)
        extra << "--gzip" << QStringLiteral("data/part%1.dat").arg(i);
    const QString complaint = publishRelease(source.path(), mirrorRoot.path(), Type, 2, extra);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));

    // What a normal run leaves: version 2 with executables at 0755.
    init();
    versionOne = snapshot();
    const Run full = runTraced({"-y", "-e", "trace=" + TracedCalls.join(',')});
    QVERIFY2(full.log.contains("Update successfully finished"), qPrintable(full.log));
    const QString started = startWithoutRun();
    QVERIFY2(!started.contains("Recovered"), qPrintable(started));
    versionTwo = snapshot();
    QCOMPARE(versionTwo.value("update"), md5Of(updaterTwo) + " 755");
    QCOMPARE(versionTwo.value("lib/libclient.so.4").right(3), QString("755"));
    QVERIFY(!versionTwo.contains("data/obsolete.txt"));

    // Numbers each call per thread and kind, as strace counts them for
    // injection, and marks those from the journal's creation to its removal.
    QHash<QString, int> counts;
    bool installing = false;
    const QRegularExpression line(QStringLiteral("^(\\d+) +(\\w+)\\((.*)$"));
    for (const QString &text : full.trace.split('\n')) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch() || !TracedCalls.contains(match.captured(2)))
            continue;
        Call call;
        call.name = match.captured(2);
        call.number = ++counts[match.captured(1) + ' ' + call.name];
        const QString arguments = match.captured(3);
        const bool journal = arguments.contains("/update.journal\"")
            || QRegularExpression("^\\d+<[^>]*/update\\.journal>").match(arguments).hasMatch();
        if (journal && call.name == "openat" && arguments.contains("O_CREAT"))
            installing = true;
        call.installing = installing;
        // The installation's own writes: its journal and the staged files.
        call.onInstallation = arguments.contains(installation->path())
            && (call.name != "write" || journal || arguments.contains(">(deleted)"));
        call.text = text.left(200);
        call.thread = match.captured(1);
        // The descriptor's file, or else the first path named.
        QRegularExpressionMatch file = QRegularExpression("^\\d+<([^>]*)>").match(arguments);
        if (!file.hasMatch())
            file = QRegularExpression("\"([^\"]*)\"").match(arguments);
        if (file.hasMatch() && file.captured(1).startsWith(installation->path()))
            call.file = QDir(installation->path()).relativeFilePath(file.captured(1));
        calls.append(call);
        if (journal && call.name.startsWith("unlink"))
            installing = false;
    }
    QVERIFY(!pick({"openat"}, 1, QString()).isEmpty());
}

void TestCrashSafety::init()
{
    installation = std::make_unique<InstallationDir>();
    QVERIFY(installation->isValid());
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    writeClient(installation->path(), 1);
    installation->writeMirrorsIni(mirror->baseUrl());
}

QMap<QString, QString> TestCrashSafety::snapshot() const
{
    QMap<QString, QString> result;
    const QString root = installation->path();
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (relative == "update.ini" || relative == "update.ini.lock" || relative == "update.lock"
            || relative == "update.state" || relative == "mirrors.ini")
            continue;
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
            result.insert(relative, QStringLiteral("vanished"));
            continue;
        }
        const QString mode = QString::number(info.st_mode & 07777, 8);
        result.insert(relative,
                      S_ISDIR(info.st_mode) ? "dir " + mode : md5OfFile(path) + ' ' + mode);
    }
    return result;
}

QList<TestCrashSafety::Call> TestCrashSafety::pick(const QStringList &names, int count,
                                                   const QString &file) const
{
    QList<Call> candidates;
    QSet<QString> seen;
    QHash<QString, int> filtered;
    for (Call call : calls) {
        if (!file.isEmpty()) {
            if (call.file != file)
                continue;
            call.number = ++filtered[call.thread + ' ' + call.name];
        }
        const QString key = call.name + ' ' + QString::number(call.number);
        if (call.installing && names.contains(call.name) && call.onInstallation
            && !seen.contains(key)) {
            seen.insert(key);
            candidates.append(call);
        }
    }
    if (candidates.size() <= count)
        return candidates;
    if (count == 1)
        return {candidates.at(candidates.size() / 2)};
    QList<Call> spread;
    for (int i = 0; i < count; ++i)
        spread.append(candidates.at(i * (candidates.size() - 1) / (count - 1)));
    return spread;
}

TestCrashSafety::Run TestCrashSafety::runTraced(const QStringList &straceArgs)
{
    Run run;
    const QString traceFile = tmp->filePath("trace");
    QProcess process;
    QProcessEnvironment env = installation->environment(tmp->path(), "Ok", versionServer->port());
    env.insert("VARNOLT_AUTO_START_MS", "0");
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(installation->path());
    const QStringList updater {installation->executable(), "--nouser", Type, "2"};
    if (straceArgs.isEmpty())
        process.start(updater.first(), updater.mid(1));
    else
        // On one processor the updater has one pool thread, which does all
        // its file work in order: the calls of each thread then come in the
        // same order and number in every run.
        process.start(toolPath("taskset"),
                      QStringList {"-c", "0", toolPath("strace"), "-f", "-qq", "-o", traceFile}
                          + straceArgs + updater);
    // The mirror lives in this process: its event loop turns while waiting.
    run.ended = QTest::qWaitFor(
        [&] {
            run.log += QString::fromLocal8Bit(process.readAllStandardError());
            return run.log.contains("Update successfully finished")
                || run.log.contains("Update cancelled") || process.state() == QProcess::NotRunning;
        },
        60000);
    if (process.state() != QProcess::NotRunning && straceArgs.isEmpty()) {
        process.kill();
        process.waitForFinished(10000);
    } else if (process.state() != QProcess::NotRunning) {
        // The window waits for the user now. strace does not take its
        // tracee with it, so the updater (the first process traced) goes first.
        QFile trace(traceFile);
        if (trace.open(QIODevice::ReadOnly)) {
            const qint64 pid = trace.readLine().split(' ').first().toLongLong();
            if (pid > 0)
                ::kill(pid_t(pid), SIGKILL);
        }
        process.waitForFinished(10000);
    }
    run.log += QString::fromLocal8Bit(process.readAllStandardError());
    run.trace = QString::fromLocal8Bit(readAll(traceFile));
    return run;
}

QString TestCrashSafety::startWithoutRun()
{
    QProcess process;
    process.setProcessEnvironment(
        installation->environment(tmp->path(), "Ok", versionServer->port()));
    process.setWorkingDirectory(installation->path());
    process.start(installation->executable(), {Type, "2"});
    QString log;
    // The caller looks at the log.
    (void)QTest::qWaitFor(
        [&] {
            log += QString::fromLocal8Bit(process.readAllStandardError());
            return log.contains("Ready to update") || process.state() == QProcess::NotRunning;
        },
        30000);
    process.kill();
    process.waitForFinished(10000);
    return log + QString::fromLocal8Bit(process.readAllStandardError());
}

void TestCrashSafety::checkVersion(const char *when, bool *isTwo)
{
    const QMap<QString, QString> now = snapshot();
    const bool one = now == versionOne;
    const bool two = now == versionTwo;
    if (!one && !two) {
        QStringList differences;
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            if (versionOne.value(it.key()) != it.value()
                && versionTwo.value(it.key()) != it.value())
                differences << it.key() + " = " + it.value();
        for (const QString &key : versionOne.keys() + versionTwo.keys())
            if (!now.contains(key))
                differences << key + " missing";
        QFAIL(qPrintable(QString("%1: neither version 1 nor 2: %2")
                             .arg(QLatin1String(when), differences.join(", "))));
    }
    if (isTwo)
        *isTwo = two;
}

void TestCrashSafety::killedAnywhere_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("count");
    // As for failingDisk(): only the calls on this file count, or all.
    QTest::addColumn<QString>("file");

    QTest::newRow("rename") << QStringList {"rename", "renameat", "renameat2"} << 8 << "";
    QTest::newRow("link") << QStringList {"link", "linkat"} << 8 << "";
    // Files are opened in many threads, the directory of the replaced data
    // files only when it is listed and when new files are staged in it.
    QTest::newRow("openat") << QStringList {"openat"} << 8 << "data";
    // Every thread also writes to wake others, and the main thread to save
    // downloads: the journal's writes are the ones whose numbers are sure
    // (its start, all the changes announced at once, the commit).
    QTest::newRow("write") << QStringList {"write"} << 3 << "update.journal";
    QTest::newRow("fsync") << QStringList {"fsync", "fdatasync"} << 8 << "";
    QTest::newRow("unlink") << QStringList {"unlink", "unlinkat"} << 8 << "";
}

void TestCrashSafety::killedAnywhere()
{
    QFETCH(QStringList, names);
    QFETCH(int, count);
    QFETCH(QString, file);

    const QList<Call> points = pick(names, count, file);
    QVERIFY2(points.size() >= qMin(count, 5), qPrintable(QString::number(points.size())));
    int recovered = 0;
    for (const Call &point : points) {
        const QString where
            = QString("%1 number %2 (%3)").arg(point.name).arg(point.number).arg(point.text);
        init();
        QStringList args {
            "-e", "trace=" + point.name, "-e",
            QString("inject=%1:signal=SIGKILL:when=%2").arg(point.name).arg(point.number)};
        if (!file.isEmpty())
            args << "-P" << QDir::cleanPath(installation->filePath(file));
        // Whatever a cache of the installation's files says, a repair makes it wrong.
        installation->writeFile("update.state", "entries of the files before the kill\n");
        const Run killed = runTraced(args);
        QVERIFY2(killed.ended, qPrintable(where + '\n' + killed.log));

        const QString started = startWithoutRun();
        QVERIFY2(started.contains("Ready to update"), qPrintable(where + '\n' + started));
        if (started.contains("Recovered an interrupted installation")) {
            ++recovered;
            QVERIFY2(!QFileInfo::exists(installation->filePath("update.state")), qPrintable(where));
        }
        checkVersion(qPrintable(where + " after the next start"));
        QVERIFY2(!QFileInfo::exists(installation->filePath("update.journal")), qPrintable(where));

        const Run again = runTraced({});
        QVERIFY2(again.log.contains("Update successfully finished"),
                 qPrintable(where + '\n' + again.log));
        startWithoutRun();
        bool two = false;
        checkVersion(qPrintable(where + " after a normal run"), &two);
        QVERIFY2(two, qPrintable(where + " did not reach version 2"));
    }
    qInfo("%d kills, %d of them inside the installation", int(points.size()), recovered);
    // The points fall inside the installation. Calls are numbered per
    // thread, and how many a download makes depends on how the network
    // hands over its data, so a point may also fall just before or after it.
    QVERIFY2(
        recovered > 0,
        qPrintable(QString("%1 of %2 kills needed a repair").arg(recovered).arg(points.size())));
}

void TestCrashSafety::failingDisk_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    // The calls on this file only are counted and failed (strace -P), so
    // the numbers are the same in every run.
    QTest::addColumn<QString>("file");
    // Which of those calls fail, one run each; 0 stands for the last.
    QTest::addColumn<QList<int>>("numbers");

    QTest::newRow("journal full") << "write"
                                  << "ENOSPC"
                                  << "update.journal" << QList<int> {1, 2, 3};
    QTest::newRow("journal not synced") << "fdatasync"
                                        << "EIO"
                                        << "update.journal" << QList<int> {1, 3, 0};
    // The journal's creation and the commit; the sync after the journal is
    // removed may fail unnoticed.
    QTest::newRow("directory not synced") << "fsync"
                                          << "EIO"
                                          << "." << QList<int> {1, 2};
    // (A full disk while a file is copied or unpacked is a test of the file
    // operations: strace cannot tell an unnamed file's writes from others.)
}

void TestCrashSafety::failingDisk()
{
    QFETCH(QString, name);
    QFETCH(QString, error);
    QFETCH(QString, file);
    QFETCH(QList<int>, numbers);

    // The calls on the file in the full run, to know which is the last.
    int last = 0;
    for (const Call &call : calls)
        if (call.name == name && call.file == file)
            ++last;
    const QString path = QDir::cleanPath(installation->filePath(file));
    int failed = 0;
    for (int number : numbers) {
        if (number == 0)
            number = last;
        const QString where = QString("%1 %2 number %3").arg(name, path).arg(number);
        init();
        // The installation is a new directory each time.
        const Run run
            = runTraced({"-y", "-e", "trace=" + name, "-e",
                         QString("inject=%1:error=%2:when=%3").arg(name, error).arg(number), "-P",
                         QDir::cleanPath(installation->filePath(file))});
        QVERIFY2(run.ended, qPrintable(where + '\n' + run.log));
        QString injected;
        for (const QString &line : run.trace.split('\n'))
            if (line.contains("(INJECTED)"))
                injected = line;
        QVERIFY2(injected.contains(installation->path()), qPrintable(where + " was never called"));
        ++failed;
        QVERIFY2(run.log.contains("Update cancelled"), qPrintable(where + '\n' + run.log));
        QVERIFY(!QFileInfo::exists(installation->filePath("update.journal")));
        QCOMPARE(snapshot(), versionOne);
    }
    QVERIFY(failed > 0);
}

void TestCrashSafety::secondStartKeepsOldCopies()
{
    // The first run stops inside the installation, just after the updater's
    // old copy got its name (strace holds the call): a second start must
    // neither take that copy nor the journal.
    init();
    const QString traceFile = tmp->filePath("trace");
    QProcess first;
    QProcessEnvironment env = installation->environment(tmp->path(), "Ok", versionServer->port());
    env.insert("VARNOLT_AUTO_START_MS", "0");
    first.setProcessEnvironment(env);
    first.setWorkingDirectory(installation->path());
    first.start(toolPath("strace"),
                {"-f", "-qq", "-o", traceFile, "-P", installation->filePath("_old_update"), "-e",
                 "trace=link,linkat,rename,renameat2", "-e",
                 "inject=link,linkat,rename,renameat2:delay_exit=4000000",
                 installation->executable(), "--nouser", Type, "2"});
    QVERIFY(QTest::qWaitFor(
        [&] { return QFileInfo::exists(installation->filePath("_old_update")); }, 30000));
    QVERIFY(QFileInfo::exists(installation->filePath("update.journal")));

    const InstallationDir::Result second = installation->run({Type, "2"}, env);
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(readAll(installation->filePath("_old_update")), readAll(updaterExecutable()));
    QVERIFY(QFileInfo::exists(installation->filePath("update.journal")));
    QVERIFY2(!second.standardError.contains("Recovered"), qPrintable(second.standardError));

    QString log;
    QVERIFY(QTest::qWaitFor(
        [&] {
            log += QString::fromLocal8Bit(first.readAllStandardError());
            return log.contains("Update successfully finished")
                || first.state() == QProcess::NotRunning;
        },
        60000));
    QVERIFY2(log.contains("Update successfully finished"), qPrintable(log));
    QFile trace(traceFile);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    ::kill(pid_t(trace.readLine().split(' ').first().toLongLong()), SIGKILL);
    first.waitForFinished(10000);
    startWithoutRun();
    QCOMPARE(snapshot(), versionTwo);
}

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
