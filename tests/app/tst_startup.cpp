#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

// The real executable as a child process: exit codes, the clean-up of
// moved-aside files, automatic start, translations and the single-instance
// hand-over. Boxes are answered through VARNOLT_BOX_ANSWERS; their texts are
// read back from standard error.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void invalidCommandLine_data();
    void invalidCommandLine();
    void versionQueryEndsWithOne_data();
    void versionQueryEndsWithOne();
    void removesMovedAsideFiles();
    void autoStartRunsIntoEngineFailure_data();
    void autoStartRunsIntoEngineFailure();
    void secondInstanceHandsOver();
    void noSilentDowngrade_data();
    void noSilentDowngrade();
    void socketOfAnotherUserDoesNotSilence_data();
    void socketOfAnotherUserDoesNotSilence();

private:
    QTemporaryDir tmp;
};

namespace {

// The user the planted sockets belong to.
const uid_t OtherUser = 65534;

// Starts a process of OtherUser that listens on each of paths (creating
// ownDir first, when given, as a directory of that user open to all) and
// takes whatever is sent: what an instance would do. Returns its pid, or -1.
pid_t plantListeners(const QList<QByteArray> &paths, const QByteArray &ownDir)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // Only system calls from here on: this is a copy of a threaded process.
    if (!ownDir.isEmpty()) {
        ::mkdir(ownDir.constData(), 0777);
        ::chown(ownDir.constData(), OtherUser, OtherUser);
        ::chmod(ownDir.constData(), 0777);
    }
    if (::setgid(OtherUser) != 0 || ::setuid(OtherUser) != 0)
        ::_exit(1);
    int fds[4];
    int count = 0;
    for (const QByteArray &path : paths) {
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || ::listen(fd, 8) != 0)
            ::_exit(2);
        ::chmod(path.constData(), 0777);
        fds[count++] = fd;
    }
    for (;;) {
        for (int i = 0; i < count; ++i) {
            ::fcntl(fds[i], F_SETFL, O_NONBLOCK);
            const int client = ::accept(fds[i], nullptr, nullptr);
            if (client >= 0) {
                char buffer[16];
                (void)::read(client, buffer, sizeof buffer);
                ::close(client);
            }
        }
        ::usleep(10000);
    }
}

// The name the updater at executable gives its socket.
QString serverName(const QString &executable)
{
    QString key = QFileInfo(executable).canonicalFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    return QStringLiteral("VL3ClientUpdate")
        + QString::number(qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309), 16);
}

} // namespace

void TestStartup::initTestCase()
{
    QVERIFY2(!updaterExecutable().isEmpty(), "VARNOLT_UPDATE_EXE is not set");
    QVERIFY(tmp.isValid());
}

void TestStartup::invalidCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("box");

    QTest::newRow("invalid version")
        << QStringList {"client_linux_amd64", "12a"} << "Error: Invalid version nr (12a)";
    QTest::newRow("unknown option")
        << QStringList {"--force"} << "Error: --nouser option is missing";
    QTest::newRow("--nouser as client type") << QStringList {"--nouser", "client_linux_x86"}
                                             << "Error: Invalid version nr (client_linux_x86)";
}

void TestStartup::invalidCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, box);
    InstallationDir dir;
    QVERIFY(dir.isValid());
    const auto result = dir.run(args, dir.environment(tmp.path(), QStringLiteral("Ok"), 0));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains(box), qPrintable(result.standardError));
    QCOMPARE(result.standardError.count(QLatin1String("Error: ")), 1);
    QVERIFY(!result.standardError.contains(QLatin1String("Ready to update")));
}

void TestStartup::versionQueryEndsWithOne_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("boxAnswers");
    QTest::addColumn<QString>("expected");

    const QByteArray beta = "[Channel]\nbeta=true\n";
    QTest::newRow("no answer, Abort")
        << QByteArray() << QByteArray() << "Abort"
        << "Error: Failed to query latest client version from update server.";
    QTest::newRow("no answer, Yes is not offered")
        << QByteArray() << QByteArray() << "Yes"
        << "VARNOLT_BOX_ANSWERS: the box \"Error: Failed to query latest client version from "
           "update server.\" has no button \"Yes\" (it offers Retry, Abort)";
    QTest::newRow("no beta field") << QByteArray("850") << beta << "Ok"
                                   << "Error: Update server returned invalid version nr (850)";
    QTest::newRow("empty datagram") << QByteArray("") << QByteArray() << "Ok"
                                    << "Error: Update server returned invalid version nr ()";
    // Numbers no release can carry: looked for on every mirror, they could only fail there.
    for (const QByteArray number : {"0", "-5", "2147483647"})
        QTest::newRow(("version " + number).constData())
            << number << QByteArray() << "Ok"
            << "Error: Update server returned invalid version nr (" + QString::fromLatin1(number)
                + ')';
}

void TestStartup::versionQueryEndsWithOne()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, settings);
    QFETCH(QString, boxAnswers);
    QFETCH(QString, expected);
    InstallationDir dir;
    QVERIFY(dir.isValid());
    if (!settings.isEmpty())
        dir.writeFile(QStringLiteral("update.ini"), settings);
    UdpAnswerServer server({answer});
    const auto result = dir.run({}, dir.environment(tmp.path(), boxAnswers, server.port()));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    // Asked once: neither a wrong answer nor a server's reply leads to a retry.
    QCOMPARE(server.requestCount(), 1);
    QVERIFY2(result.standardError.contains(expected), qPrintable(result.standardError));
    QVERIFY(!result.standardError.contains(QLatin1String("Ready to update")));
}

void TestStartup::removesMovedAsideFiles()
{
    InstallationDir dir;
    QVERIFY(dir.isValid());
    const QStringList removed {"_old_update", "_old_libQtCore.so.4",
                               "imageformats/_old_libqjpeg.so",
                               "accessible/_old_libqtaccessiblewidgets.so"};
    const QStringList kept {"_old_vl3client_linux_amd64", "_old_libqjpeg.so.bak",
                            "lib/_old_libqgif.so"};
    for (const QString &name : removed + kept)
        dir.writeFile(name, "old");
    const auto result = dir.run({"client_linux_amd64", "12a"},
                                dir.environment(tmp.path(), QStringLiteral("Ok"), 0));
    QVERIFY(result.finished);
    for (const QString &name : removed)
        QVERIFY2(!QFile::exists(dir.filePath(name)), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(QFile::exists(dir.filePath(name)), qPrintable(name));
}

void TestStartup::autoStartRunsIntoEngineFailure_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("failure");

    const QString english = QStringLiteral("mirrors.ini is missing, cannot proceed.");
    QTest::newRow("English") << "en_US.UTF-8"
                             << "Error" << english;
    QTest::newRow("German catalogue for de_AT")
        << "de_AT.UTF-8"
        << "Fehler" << QStringLiteral("mirrors.ini fehlt, Fortfahren nicht möglich.");
    QTest::newRow("no catalogue for fr_FR") << "fr_FR.UTF-8"
                                            << "Error" << english;
}

void TestStartup::autoStartRunsIntoEngineFailure()
{
    // "--nouser" asks the version server, then starts the run by itself
    // after 2000 ms. Without mirrors.ini the engine fails: exit code 2.
    QFETCH(QString, locale);
    QFETCH(QString, failure);
    QFETCH(QString, title);
    InstallationDir dir;
    QVERIFY(dir.isValid());
    UdpAnswerServer server({"850,861,872"});
    QProcessEnvironment env = dir.environment(tmp.path(), QStringLiteral("Ok"), server.port());
    env.insert(QStringLiteral("LANG"), locale);
    env.insert(QStringLiteral("LC_ALL"), locale);
    const auto result = dir.run({"--nouser"}, env);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(server.requestCount(), 1);
    QVERIFY2(result.standardError.contains(
                 QStringLiteral("Ready to update client_linux_amd64 to version 850 "
                                "(stable channel, automatic start)")),
             qPrintable(result.standardError));
    QVERIFY2(result.standardError.contains(
                 title + QLatin1String(": ") + failure),
             qPrintable(result.standardError));
}

void TestStartup::secondInstanceHandsOver()
{
    InstallationDir dir;
    InstallationDir otherDir;
    QVERIFY(dir.isValid());
    QVERIFY(otherDir.isValid());
    const QStringList args {"client_linux_amd64", "734"};
    const QProcessEnvironment env = dir.environment(tmp.path(), QStringLiteral("Ok"), 0);

    {
        RunningUpdater first(dir, args, env);
        QTRY_VERIFY_WITH_TIMEOUT(first.isReady(), 20000);

        // Same directory: hands over and ends at once with 0.
        const auto second = dir.run(args, env);
        QVERIFY(second.finished);
        QCOMPARE(second.exitCode, 0);
        QVERIFY(!second.standardError.contains(QLatin1String("Ready to update")));

        // Another directory: a different name, so it runs on its own.
        RunningUpdater other(otherDir, args, env);
        QTRY_VERIFY_WITH_TIMEOUT(other.isReady(), 20000);
        QCOMPARE(other.process.state(), QProcess::Running);

        // A crash leaves the listening socket behind.
        ::kill(pid_t(first.process.processId()), SIGKILL);
        QVERIFY(first.process.waitForFinished(5000));
    }

    // The next start finds nobody answering, takes the name over and is
    // reachable again for the one after it.
    RunningUpdater third(dir, args, env);
    QTRY_VERIFY_WITH_TIMEOUT(third.isReady(), 20000);
    const auto fourth = dir.run(args, env);
    QVERIFY(fourth.finished);
    QCOMPARE(fourth.exitCode, 0);
}

void TestStartup::noSilentDowngrade_data()
{
    QTest::addColumn<QString>("installedType");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");

    QTest::newRow("server offers an older version")
        << "client_linux_amd64" << QStringList {"--nouser"} << 1
        << "Error: Update server offers version 850, older than the installed version 900.";
    // Without mirrors.ini, a run that gets as far as the engine ends with 2.
    QTest::newRow("older version on the command line")
        << "client_linux_amd64" << QStringList {"--nouser", "client_linux_amd64", "850"} << 2
        << "Ready to update client_linux_amd64 to version 850";
    QTest::newRow("another type installed") << "client_linux_x86" << QStringList {"--nouser"} << 2
                                            << "Ready to update client_linux_amd64 to version 850";
}

void TestStartup::noSilentDowngrade()
{
    QFETCH(QString, installedType);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    InstallationDir dir;
    QVERIFY(dir.isValid());
    dir.writeFile(QStringLiteral("update.ini"),
                  "[installed]\ntype=" + installedType.toUtf8() + "\nversion=900\n");
    UdpAnswerServer server({"850,861,872"});
    const auto result
        = dir.run(args, dir.environment(tmp.path(), QStringLiteral("Ok"), server.port()));
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.standardError.contains(expected), qPrintable(result.standardError));
}

void TestStartup::socketOfAnotherUserDoesNotSilence_data()
{
    QTest::addColumn<bool>("runtimeDir");
    QTest::addColumn<QString>("logLine");

    // The socket lies in the user's runtime directory: the holder of the installation's lock
    // replaces another user's socket there without a word.
    QTest::newRow("runtime directory") << true << "";
    // Without one, in the user's own directory of the temporary directory,
    // which another user may have created first.
    QTest::newRow("directory in the temporary directory taken")
        << false << "is not a private directory of this user";
}

void TestStartup::socketOfAnotherUserDoesNotSilence()
{
    if (::geteuid() != 0)
        QSKIP("needs root to plant a socket as another user");
    QFETCH(bool, runtimeDir);
    QFETCH(QString, logLine);

    InstallationDir dir;
    QVERIFY(dir.isValid());
    QTemporaryDir temp;
    QTemporaryDir runtime;
    const QString name = serverName(dir.executable());
    const QString ownDir = temp.path() + QStringLiteral("/varnolt-0");
    // The predictable name in the shared temporary directory is planted too.
    QList<QByteArray> paths {QFile::encodeName(temp.path() + '/' + name)};
    paths << QFile::encodeName((runtimeDir ? runtime.path() : ownDir) + '/' + name);
    // Open for the other user while it plants, private again afterwards.
    QFile::setPermissions(temp.path(), QFileDevice::Permissions(0x7777));
    QFile::setPermissions(runtime.path(), QFileDevice::Permissions(0x7777));
    const pid_t planter
        = plantListeners(paths, runtimeDir ? QByteArray() : QFile::encodeName(ownDir));
    QVERIFY(planter > 0);
    const bool planted = QTest::qWaitFor(
        [&] { return QFileInfo::exists(paths.first()) && QFileInfo::exists(paths.last()); }, 10000);
    const QFileDevice::Permissions ownerOnly
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QFile::setPermissions(temp.path(), ownerOnly);
    QFile::setPermissions(runtime.path(), ownerOnly);

    QProcessEnvironment env = dir.environment(temp.path(), QStringLiteral("Ok"), 0);
    if (runtimeDir)
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    else
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QStringList args {"client_linux_amd64", "734"};
    {
        RunningUpdater first(dir, args, env);
        const bool ready = QTest::qWaitFor([&] { return first.isReady(); }, 20000);
        ::kill(planter, SIGKILL);
        ::waitpid(planter, nullptr, 0);
        QVERIFY(planted);
        QVERIFY2(ready, qPrintable(first.log()));
        QVERIFY2(first.log().contains(logLine), qPrintable(first.log()));
        if (runtimeDir) {
            // It took the name over, and the next start of this user hands over to it.
            const auto second = dir.run(args, env);
            QVERIFY(second.finished);
            QCOMPARE(second.exitCode, 0);
        }
    }
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
