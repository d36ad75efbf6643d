#include "app/configuration.h"
#include "app/translators.h"
#include "app/updateinidata.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

// The run configuration, in-process: command-line grammar, the Channel and
// update groups of update.ini, the version server, the temporary directory.
// update.ini lives beside the test executable, as it does beside the updater.
class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandLine_data();
    void verifyOption_data();
    void verifyOption();
    void commandLine();
    void channelSelection_data();
    void channelSelection();
    void invalidServerVersion();
    void versionQueryRetryAndAbort();
    void versionQueryBoxInGerman();
    void refusalsInGerman();
    void streams_data();
    void streams();
    void tempDirIsPrivateAndUnpredictable();
    void specialFileNames();
};

void TestConfiguration::init()
{
    QFile::remove(Configuration::getSettingsFilePath());
    qunsetenv("VARNOLT_BOX_ANSWERS");
    qunsetenv("VARNOLT_UPDATE_SERVER");
}

void TestConfiguration::cleanup()
{
    QFile::remove(Configuration::getSettingsFilePath());
    qunsetenv("VARNOLT_BOX_ANSWERS");
    qunsetenv("VARNOLT_UPDATE_SERVER");
}

void TestConfiguration::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("serverRequests");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("clientVersion");
    QTest::addColumn<int>("startMode");
    QTest::addColumn<QString>("fatal");

    const QString def = QStringLiteral("client_linux_amd64");
    QTest::newRow("no arguments asks for the stable version")
        << QStringList() << true << 1 << def << 850 << 1 << QString();
    QTest::newRow("--nouser starts automatically")
        << QStringList {"--nouser"} << true << 1 << def << 850 << 2 << QString();
    QTest::newRow("type and version do not ask")
        << QStringList {"client_linux_x86", "734"} << true << 0 << "client_linux_x86" << 734 << 1
        << QString();
    QTest::newRow("invalid version") << QStringList {"client_linux_amd64", "12a"} << false << 0
                                     << def << 0 << 1 << "Invalid version nr (12a)";
    QTest::newRow("single unknown option") << QStringList {"--force"} << false << 0 << QString()
                                           << 0 << 0 << "--nouser option is missing";
    QTest::newRow("--nouser taken as the client type")
        << QStringList {"--nouser", "client_linux_x86"} << false << 0 << "--nouser" << 0 << 1
        << "Invalid version nr (client_linux_x86)";
    QTest::newRow("--nouser with type and version")
        << QStringList {"--nouser", "client_linux_x86", "901"} << true << 1 << "client_linux_x86"
        << 901 << 2 << QString();
    QTest::newRow("three arguments without --nouser")
        << QStringList {"--now", "client_linux_x86", "901"} << false << 0 << QString() << 0 << 0
        << "--nouser option is missing";
    QTest::newRow("extra arguments are ignored")
        << QStringList {"a", "b", "c", "d"} << true << 1 << def << 850 << 1 << QString();
}

void TestConfiguration::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(int, serverRequests);
    QFETCH(QString, clientType);
    QFETCH(int, clientVersion);
    QFETCH(int, startMode);
    QFETCH(QString, fatal);

    UdpAnswerServer server({"850,861,872"});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));

    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    args.prepend(QStringLiteral("update"));
    QCOMPARE(configuration.parseCommandLineOptions(args), ok);
    QCOMPARE(server.requestCount(), serverRequests);
    if (serverRequests > 0)
        QCOMPARE(server.firstRequest(), QByteArray("2\0", 2));
    QCOMPARE(configuration.clientType, clientType);
    QCOMPARE(configuration.clientVersion, clientVersion);
    QCOMPARE(configuration.startMode, startMode);
    QCOMPARE(configuration.channel, Stable);
    if (fatal.isEmpty()) {
        QCOMPARE(fatalSpy.count(), 0);
    } else {
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    }
}

void TestConfiguration::verifyOption_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<int>("startMode");
    QTest::addColumn<int>("clientVersion");

    QTest::newRow("without") << QStringList {"client_linux_x86", "734"} << false << 1 << 734;
    QTest::newRow("first") << QStringList {"--verify", "client_linux_x86", "734"} << true << 1
                           << 734;
    QTest::newRow("between type and version")
        << QStringList {"client_linux_x86", "--verify", "734"} << true << 1 << 734;
    QTest::newRow("after --nouser, twice")
        << QStringList {"--nouser", "--verify", "client_linux_x86", "901", "--verify"} << true << 2
        << 901;
}

void TestConfiguration::verifyOption()
{
    QFETCH(QStringList, args);
    QFETCH(bool, verify);
    QFETCH(int, startMode);
    QFETCH(int, clientVersion);

    UdpAnswerServer server({"850,861,872"});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
    Configuration configuration;
    args.prepend(QStringLiteral("update"));
    // Taken out wherever it stands; the rest reads as without it.
    QVERIFY(configuration.parseCommandLineOptions(args));
    QCOMPARE(configuration.verifyAll, verify);
    QCOMPARE(configuration.startMode, startMode);
    QCOMPARE(configuration.clientVersion, clientVersion);
    QCOMPARE(configuration.clientType, QStringLiteral("client_linux_x86"));
}

void TestConfiguration::channelSelection_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("serverRequests");
    QTest::addColumn<int>("clientVersion");

    QTest::newRow("no Channel group") << QByteArray() << int(Stable) << 1 << 850;
    QTest::newRow("beta") << QByteArray("[Channel]\nbeta=true\n") << int(Beta) << 1 << 861;
    QTest::newRow("beta as text") << QByteArray("[Channel]\nbeta=yes\n") << int(Beta) << 1 << 861;
    QTest::newRow("beta 0") << QByteArray("[Channel]\nbeta=0\n") << int(Stable) << 1 << 850;
    QTest::newRow("beta FALSE") << QByteArray("[Channel]\nbeta=FALSE\n") << int(Stable) << 1 << 850;
    QTest::newRow("alpha asks for the alpha version")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\n") << int(Alpha) << 1 << 872;
    QTest::newRow("alpha with alphaRevno does not ask")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\nalphaRevno=850\n") << int(Alpha) << 0
        << 850;
    QTest::newRow("alpha wins over beta")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\nbeta=true\n") << int(Alpha) << 1
        << 872;
}

void TestConfiguration::channelSelection()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, channel);
    QFETCH(int, serverRequests);
    QFETCH(int, clientVersion);

    QVERIFY(writeSettingsFile(settings));
    UdpAnswerServer server({"850,861,872"});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));

    Configuration configuration;
    QVERIFY(configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(int(configuration.channel), channel);
    QCOMPARE(configuration.clientVersion, clientVersion);
    QCOMPARE(server.requestCount(), serverRequests);
    QCOMPARE(configuration.startMode, 1);
}

void TestConfiguration::invalidServerVersion()
{
    UdpAnswerServer server({"8x0"});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(fatalSpy.count(), 1);
    QCOMPARE(fatalSpy.at(0).at(0).toString(),
             QStringLiteral("Update server returned invalid version nr (8x0)"));
}

void TestConfiguration::versionQueryRetryAndAbort()
{
    // The server stays silent on the first request: Retry asks again with
    // the same query, and the second answer is taken.
    {
        UdpAnswerServer server({QByteArray(), "850"});
        qputenv("VARNOLT_UPDATE_SERVER",
                QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
        qputenv("VARNOLT_BOX_ANSWERS", "Retry");
        Configuration configuration;
        configuration.versionQueryTimeoutMs = 100;
        QCOMPARE(configuration.getLatestClientVersion(Stable).value_or(QString()),
                 QStringLiteral("850"));
        QCOMPARE(server.requestCount(), 2);
    }
    // A server that never answers: Retry once, then Abort gives up quietly.
    {
        UdpAnswerServer server({QByteArray()});
        qputenv("VARNOLT_UPDATE_SERVER",
                QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
        qputenv("VARNOLT_BOX_ANSWERS", "Retry,Abort");
        Configuration configuration;
        configuration.versionQueryTimeoutMs = 100;
        QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
        QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
        QCOMPARE(server.requestCount(), 2);
        QCOMPARE(fatalSpy.count(), 0);
    }
    // Unattended: no box at all (none is answered here), a fixed number of
    // retries, then the same quiet end as Abort.
    {
        UdpAnswerServer server({QByteArray()});
        qputenv("VARNOLT_UPDATE_SERVER",
                QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
        BoxAnswerer answerer({QStringLiteral("Abort")});
        Configuration configuration;
        configuration.versionQueryTimeoutMs = 100;
        configuration.versionQueryRetries = 3;
        QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
        QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
        QCOMPARE(server.requestCount(), 4);
        QCOMPARE(answerer.count(), 0);
        QCOMPARE(fatalSpy.count(), 0);
    }
}

void TestConfiguration::versionQueryBoxInGerman()
{
    // The standard buttons come from Qt's own catalogue. The build directory
    // holds no "translations" folder, so this finds the one Qt installed.
    UdpAnswerServer server({QByteArray()});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
    const Translators translators(QStringLiteral("de_DE"));
    QVERIFY(translators.hasUpdaterCatalogue());
    QVERIFY2(translators.hasQtCatalogue(), "Qt's German catalogue (qt6-translations-l10n)");
    BoxAnswerer answerer({QStringLiteral("Abbrechen")});
    Configuration configuration;
    configuration.versionQueryTimeoutMs = 50;
    QVERIFY(!configuration.getLatestClientVersion(Stable).has_value());
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.texts().constFirst(),
             QStringLiteral("Fehler: Konnte aktuelle Client Version nicht\n"
                            "vom Aktualisierungsserver abfragen."));
    QStringList buttons = answerer.buttonTexts().constFirst();
    buttons.sort();
    QCOMPARE(buttons, (QStringList {QStringLiteral("Abbrechen"), QStringLiteral("Wiederholen")}));
}

void TestConfiguration::refusalsInGerman()
{
    // A version server offering less than what is installed: the reason as the window and the
    // console show it.
    QVERIFY(writeSettingsFile("[installed]\ntype=client_linux_amd64\nversion=900\n"));
    UdpAnswerServer server({"850,861,872"});
    qputenv("VARNOLT_UPDATE_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
    const Translators translators(QStringLiteral("de_DE"));
    QVERIFY(translators.hasUpdaterCatalogue());
    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(fatalSpy.count(), 1);
    QCOMPARE(fatalSpy.at(0).at(0).toString(),
             QStringLiteral("Der Aktualisierungsserver bietet Version 850 an, die älter ist als "
                            "die installierte Version 900."));

    // A product ini bound to another release, filled in as the manifest check fills it.
    QCOMPARE(QCoreApplication::translate("IniDownloadTaskSpecification",
                                         "Product ini from %1 is for %2 version %3, not version %4")
                 .arg(QStringLiteral("mirror2"), QStringLiteral("client_linux_x86"),
                      QStringLiteral("901"))
                 .arg(902),
             QStringLiteral("Produkt-INI von mirror2 gilt für client_linux_x86 Version 901, nicht "
                            "für Version 902"));
}

void TestConfiguration::streams_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("streams");
    QTest::addColumn<QString>("proxy");
    // In MiB.
    QTest::addColumn<qint64>("segmentFrom");

    QTest::newRow("missing") << QByteArray() << 6 << QString() << qint64(32);
    QTest::newRow("0") << QByteArray("[update]\nstreams=0\n") << 6 << QString() << qint64(32);
    QTest::newRow("-3") << QByteArray("[update]\nstreams=-3\nsegmentfrom=-3\n") << 6 << QString()
                        << qint64(32);
    QTest::newRow("abc") << QByteArray("[update]\nstreams=abc\nsegmentfrom=abc\n") << 6 << QString()
                         << qint64(32);
    QTest::newRow("20") << QByteArray("[update]\nstreams=20\nproxy=http://proxy.example:800\n"
                                      "segmentfrom=100\n")
                        << 20 << "http://proxy.example:800" << qint64(100);
    QTest::newRow("segments off") << QByteArray("[update]\nsegmentfrom=0\nsegmentpace=0\n") << 6
                                  << QString() << qint64(0);
}

void TestConfiguration::streams()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, streams);
    QFETCH(QString, proxy);
    QVERIFY(writeSettingsFile(settings));
    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    QCOMPARE(configuration.streams, streams);
    QCOMPARE(configuration.proxy, proxy);
    QFETCH(qint64, segmentFrom);
    QCOMPARE(configuration.segmentFrom, segmentFrom * 1024 * 1024);
    // Set to 0 with segmentfrom=0, else the default; read by the same rules.
    QCOMPARE(configuration.segmentPace, segmentFrom == 0 ? 0 : Configuration::DefaultSegmentPace);
    // Only a usable value counts as set: without one, HTTP/2 mirrors may raise the bound.
    QCOMPARE(configuration.streamsGiven, streams != 6);
}

void TestConfiguration::tempDirIsPrivateAndUnpredictable()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    // The names an earlier updater counted through, taken: they no longer matter.
    for (int i = 0; i < 5; ++i)
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("varnolt_temp_%1").arg(i)));

    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    const bool created = configuration.initalizeStart(QString());
    Configuration second;
    QVERIFY(second.initalizeStart(QString()));

    // A previous session's directory is taken while it is still private; one that is gone or
    // open to others (recreated by someone else, say) gives way to a new one.
    Configuration again;
    QVERIFY(again.initalizeStart(configuration.tempDir));
    QCOMPARE(again.tempDir, configuration.tempDir);
    const QString open = tmp.filePath(QStringLiteral("varnolt_temp_1"));
    QVERIFY(QFile::setPermissions(open,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadOther | QFile::ExeOther));
    for (const QString &previous : {open, tmp.filePath(QStringLiteral("gone"))}) {
        Configuration fresh;
        QVERIFY(fresh.initalizeStart(previous));
        QVERIFY(fresh.tempDir != previous);
        QVERIFY(fresh.tempDir.startsWith(tmp.filePath(QStringLiteral("varnolt_temp_"))));
        QVERIFY(QDir().rmdir(fresh.tempDir));
    }
    const bool recordable = UpdateIniData::isSessionDirectory(configuration.tempDir);
    qputenv("TMPDIR", oldTmp);
    QVERIFY(recordable);

    QVERIFY(created);
    QCOMPARE(fatalSpy.count(), 0);
    // Drawn at random, so no other local user can make every name first; still a session name
    // that the record accepts.
    QVERIFY(configuration.tempDir != second.tempDir);
    QVERIFY(!QStringList({"0", "1", "2", "3", "4", "5"})
                 .contains(configuration.tempDir.section(QLatin1Char('_'), -1)));
    QVERIFY(QFileInfo(configuration.tempDir).isDir());
    // Private to this user: nobody else may read or plant files in it.
    QCOMPARE(QFileInfo(configuration.tempDir).permissions()
                 & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                    | QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
}

void TestConfiguration::specialFileNames()
{
    Configuration configuration;
    QVERIFY(configuration.isSpecialFileName(QStringLiteral("update")));
    QVERIFY(configuration.isSpecialFileName(QStringLiteral("libqjpeg.so")));
    QVERIFY(!configuration.isSpecialFileName(QStringLiteral("Update")));
    QVERIFY(!configuration.isSpecialFileName(QStringLiteral("imageformats/libqjpeg.so")));
    QCOMPARE(Configuration::getAppRootPath(), QCoreApplication::applicationDirPath());
    QVERIFY(!Configuration::getAppRootPath().endsWith(QLatin1Char('/')));
}

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
