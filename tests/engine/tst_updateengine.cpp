#include "app/configuration.h"
#include "app/updateinidata.h"
#include "download/mirrors.h"
#include "engine/updateengine.h"
#include "httpmirror.h"
#include "manifest/filestatecache.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <algorithm>

// The update engine with its real collaborators: update.ini and mirrors.ini
// beside the test executable, session directories in a private TMPDIR, the
// banner image from a local HTTP server.
class TestUpdateEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void proxy_data();
    void proxy();
    void invalidProxyStopsEveryRun();
    void missingMirrorsIni();
    void previousSessionSameVersionIsReused();
    void previousSessionOtherVersionIsCleanedUp();
    void vanishedSessionDirectoryIsIgnored();
    void foreignRecordedDirectoryIsLeftAlone();
    void successfulRunRemovesSession();
    void cancelledRunKeepsSession_data();
    void cancelledRunKeepsSession();
    void stallEndingTheRunInATick();
    void cancelAfterCommitFinishes();
    void guardsDuringInstallation();
    void cleanupDirectoryKeepsTopAndLinks();
    void bannerCap_data();
    void bannerCap();
    void bannerAddressesMustBeWebAddresses_data();
    void bannerAddressesMustBeWebAddresses();

private:
    QString makeDir(const QString &name);

    QTemporaryDir tmp;
    QByteArray oldTmpDir;
    std::unique_ptr<ReleaseMirror> release;
    TestHttpMirror *mirror = nullptr;
};

namespace {

const char IniPath[] = "/850/client_linux_amd64.ini";
const char InstalledDir[] = "installed-engine-test";

QString installed(const QString &relative)
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + QLatin1String(InstalledDir)
        + QLatin1Char('/') + relative;
}

// The files of the test's installation directory with their contents.
QMap<QString, QByteArray> installedFiles()
{
    QMap<QString, QByteArray> files;
    const QDir root(installed(QString()));
    QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(root.relativeFilePath(path), readAll(path));
    }
    return files;
}

// Every run here installs version 850 of the default client type, the release
// on the local mirror.
void setUpVersion850(Configuration &configuration)
{
    configuration.clientVersion = 850;
    configuration.clientType = QStringLiteral("client_linux_amd64");
}

} // namespace

void TestUpdateEngine::initTestCase()
{
    // Version 850 of a small client, published on a local mirror.
    release = std::make_unique<ReleaseMirror>(
        QStringLiteral("client_linux_amd64"), 850,
        QMap<QString, QByteArray> {
            {"installed-engine-test/run.sh", "#!/bin/sh\n"},
            {"installed-engine-test/data/level.dat", QByteArray(5000, 'l')}});
    QVERIFY2(release->error().isEmpty(), qPrintable(release->error()));
    mirror = &release->server();

    // Session directories go to a private temporary directory.
    QVERIFY(tmp.isValid());
    oldTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qputenv("VARNOLT_UPDATE_SERVER", "127.0.0.1");
}

void TestUpdateEngine::cleanupTestCase()
{
    // What the runs installed beside the test executable.
    QDir(Configuration::getAppRootPath() + QLatin1String("/installed-engine-test"))
        .removeRecursively();
    FileStateCache::discard(Configuration::getAppRootPath());
    QFile::remove(Configuration::getAppRootPath() + "/update.release");
    QFile::remove(Configuration::getSettingsFilePath());
    QFile::remove(Configuration::getAppRootPath() + "/mirrors.ini");
    qputenv("TMPDIR", oldTmpDir);
}

void TestUpdateEngine::init()
{
    QFile::remove(Configuration::getSettingsFilePath());
    QFile::remove(Configuration::getAppRootPath() + "/update.release");
    QVERIFY(writeMirrorsFile(release->mirrorsIni()));
    mirror->clearFaults();
}

QString TestUpdateEngine::makeDir(const QString &name)
{
    QDir(tmp.path()).mkpath(name);
    // As the updater makes its session directories: private.
    QFile::setPermissions(tmp.filePath(name),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return tmp.filePath(name);
}

void TestUpdateEngine::proxy_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("empty: explicitly no proxy")
        << QByteArray() << int(QNetworkProxy::NoProxy) << QString() << 0;
    QTest::newRow("port 800") << QByteArray("http://proxy.example:800")
                              << int(QNetworkProxy::HttpProxy) << "proxy.example" << 800;
    QTest::newRow("no port gives 3128") << QByteArray("http://proxy.example")
                                        << int(QNetworkProxy::HttpProxy) << "proxy.example" << 3128;
}

void TestUpdateEngine::proxy()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, type);
    QFETCH(QString, host);
    QFETCH(int, port);
    QVERIFY(writeSettingsFile("[update]\nproxy=" + setting + "\n"));
    Configuration configuration;
    UpdateEngine engine(configuration);
    const QNetworkProxy proxy = engine.networkAccessManager()->proxy();
    QCOMPARE(int(proxy.type()), type);
    if (type == QNetworkProxy::HttpProxy) {
        QCOMPARE(proxy.hostName(), host);
        QCOMPARE(int(proxy.port()), port);
        QVERIFY(proxy.user().isEmpty());
        QVERIFY(proxy.password().isEmpty());
    }
}

void TestUpdateEngine::invalidProxyStopsEveryRun()
{
    // The construction-time report reaches nobody yet; the run is refused
    // with the same text when it would start.
    QVERIFY(writeSettingsFile("[update]\nproxy=\"http://proxy.example:port\"\n"));
    Configuration configuration;
    UpdateEngine engine(configuration);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    QVERIFY(!engine.initialize());
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(),
             QStringLiteral("'http://proxy.example:port' is an invalid proxy specification"));
    QCOMPARE(engine.getState(), UpdateEngine::Idle);
}

void TestUpdateEngine::missingMirrorsIni()
{
    QFile::remove(Configuration::getAppRootPath() + "/mirrors.ini");
    // Also on the alpha channel, which does not read the file.
    QVERIFY(writeSettingsFile("[Channel]\nalpha=http://alpha.example/\n"));
    Configuration configuration;
    configuration.channel = Alpha;
    UpdateEngine engine(configuration);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    QVERIFY(!engine.initialize());
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(),
             QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QVERIFY(!engine.busy());
    QVERIFY(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}

void TestUpdateEngine::previousSessionSameVersionIsReused()
{
    const QString dir = makeDir(QStringLiteral("varnolt_temp_7"));
    QFile(dir + "/already.bin").open(QIODevice::WriteOnly);
    UpdateIniData::modify(850, dir, QStringLiteral("client_linux_amd64"));

    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(engine.getState(), UpdateEngine::Initialized);
    QVERIFY(engine.busy());
    QCOMPARE(configuration.tempDir, dir);
    QVERIFY(QFile::exists(dir + "/already.bin"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Previous update session for v. 850 found"));
    int version = 0;
    QString recorded;
    QVERIFY(UpdateIniData::get(&version, nullptr, &recorded));
    QCOMPARE(version, 850);
    QCOMPARE(recorded, dir);
    QVERIFY(engine.mirrorPool());
    QCOMPARE(engine.mirrorPool()->mirrorList().size(), 1);
}

void TestUpdateEngine::previousSessionOtherVersionIsCleanedUp()
{
    const QString dir = makeDir(QStringLiteral("varnolt_temp_3"));
    makeDir(QStringLiteral("varnolt_temp_3/sub/deeper"));
    QFile(dir + "/sub/deeper/file").open(QIODevice::WriteOnly);
    QFile(dir + "/.hidden").open(QIODevice::WriteOnly);
    UpdateIniData::modify(849, dir, QStringLiteral("client_linux_amd64"));

    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QVERIFY(!QFileInfo::exists(dir));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Cleanup previous session (v. 849, %1) files...").arg(dir));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Ok"));
    QVERIFY(configuration.tempDir != dir);
    QVERIFY(QFileInfo(configuration.tempDir).isDir());
    // The new session is recorded once it has something to download.
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

void TestUpdateEngine::vanishedSessionDirectoryIsIgnored()
{
    UpdateIniData::modify(850, tmp.filePath(QStringLiteral("varnolt_temp_gone")),
                          QStringLiteral("client_linux_amd64"));
    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(messages.count(), 0);
    QVERIFY(QFileInfo(configuration.tempDir).isDir());
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

void TestUpdateEngine::foreignRecordedDirectoryIsLeftAlone()
{
    // An edited record pointing at somebody's data: never emptied.
    const QString precious = makeDir(QStringLiteral("precious"));
    QFile(precious + "/document.txt").open(QIODevice::WriteOnly);
    const QString target = makeDir(QStringLiteral("varnolt_temp_target"));
    QFile(target + "/keep").open(QIODevice::WriteOnly);
    QVERIFY(QFile::link(target, tmp.filePath(QStringLiteral("varnolt_temp_link"))));

    for (const QString &recorded : {precious, tmp.filePath(QStringLiteral("varnolt_temp_link"))}) {
        UpdateIniData::modify(849, recorded, QStringLiteral("client_linux_amd64"));
        Configuration configuration;
        setUpVersion850(configuration);
        UpdateEngine engine(configuration);
        QVERIFY(engine.initialize());
        engine.cleanup();
    }
    QVERIFY(QFile::exists(precious + "/document.txt"));
    QVERIFY(QFile::exists(target + "/keep"));
}

void TestUpdateEngine::successfulRunRemovesSession()
{
    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    QSignalSpy figures(&engine, &UpdateEngine::downloadProgress);
    QSignalSpy progress(&engine, &UpdateEngine::updateProgress);
    QVERIFY(engine.initialize());
    const QString dir = configuration.tempDir;
    QVERIFY(engine.startUpdate());
    QCOMPARE(engine.getState(), UpdateEngine::Running);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(engine.getState(), UpdateEngine::Finished);
    QVERIFY(!engine.busy());
    QVERIFY(!QFileInfo::exists(dir));
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toDouble(), 1.0);
    // The figures are back at zero, and hidden, when the run ends.
    QVERIFY(!figures.isEmpty());
    QCOMPARE(figures.last(), QVariantList({quint64(0), quint64(0), quint64(0), false}));
}

void TestUpdateEngine::cancelledRunKeepsSession_data()
{
    QTest::addColumn<QString>("stalled");
    QTest::addColumn<bool>("kept");
    // Before the lists are built nothing was downloaded that a next run could reuse.
    // Asked for compressed first.
    QTest::newRow("product ini") << QString::fromLatin1(IniPath) + ".gz" << false;
    QTest::newRow("product file") << release->path(
        "client_linux_amd64/installed-engine-test/run.sh")
                                  << true;
}

void TestUpdateEngine::cancelledRunKeepsSession()
{
    QFETCH(QString, stalled);
    QFETCH(bool, kept);
    QDir(installed(QString())).removeRecursively();
    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QSignalSpy figures(&engine, &UpdateEngine::downloadProgress);
    // The mirror holds the file back, so the run is still downloading when the user cancels.
    // Two bytes are short of every file here: a stall at the end of a file (run.sh has ten
    // bytes) would let the run finish before the cancel on a busy machine.
    mirror->setFault(stalled, TestHttpMirror::Fault::stall(2));
    QVERIFY(engine.initialize());
    const QString dir = configuration.tempDir;
    const int requests = mirror->requestCount(stalled);
    engine.startUpdate();
    QTRY_COMPARE(mirror->requestCount(stalled), requests + 1);
    engine.cancelUpdate();
    // Bounded generously: a sanitizer build beside another test can take seconds to wind down.
    QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 20000);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(engine.getState(), UpdateEngine::Canceled);
    QCOMPARE(messages.last().at(0).toString(), QStringLiteral("User aborted update"));
    QCOMPARE(figures.last(), QVariantList({quint64(0), quint64(0), quint64(0), false}));
    QCOMPARE(QFileInfo(dir).isDir(), kept);
    QString recorded;
    QCOMPARE(UpdateIniData::get(nullptr, nullptr, &recorded), kept);
    if (kept)
        QCOMPARE(recorded, dir);
    engine.reset();
    QCOMPARE(engine.getState(), UpdateEngine::Idle);
    // Cancelling outside a run does nothing.
    engine.cancelUpdate();
    QCOMPARE(canceled.count(), 1);
}

void TestUpdateEngine::stallEndingTheRunInATick()
{
    // The first download trickles on while the second stalls twice on the
    // only mirror, which is then dropped: the run ends inside a tick, and
    // the figures that tick had gathered must not follow the run's end.
    QDir(installed(QString())).removeRecursively();
    QVERIFY(writeMirrorsFile(release->mirrorsIni(1)));
    mirror->setFault(release->path("client_linux_amd64/installed-engine-test/data/level.dat"),
                     TestHttpMirror::Fault::trickle(1, 5));
    mirror->setFault(release->path("client_linux_amd64/installed-engine-test/run.sh"),
                     TestHttpMirror::Fault::stall(2));
    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    engine.setTickInterval(5);
    QList<QVariantList> figures;
    int ends = 0;
    int figuresAfterEnd = 0;
    connect(&engine, &UpdateEngine::downloadProgress, this,
            [&](quint64 done, quint64 total, quint64 speed, bool downloading) {
                figures.append({done, total, speed, downloading});
                figuresAfterEnd += ends;
            });
    connect(&engine, &UpdateEngine::updateCanceled, this, [&] { ++ends; });
    QVERIFY(engine.initialize());
    QVERIFY(engine.startUpdate());
    QTRY_COMPARE_WITH_TIMEOUT(ends, 1, 20000);
    QCOMPARE(engine.getState(), UpdateEngine::Canceled);
    // Transfers were shown while the run went on.
    QVERIFY(std::any_of(figures.cbegin(), figures.cend(),
                        [](const QVariantList &f) { return f.at(3).toBool(); }));
    QCOMPARE(figures.last(), QVariantList({quint64(0), quint64(0), quint64(0), false}));
    QCOMPARE(figuresAfterEnd, 0);
}

void TestUpdateEngine::cancelAfterCommitFinishes()
{
    // The installed script is replaced, so its old copy is moved aside and
    // deleted in the last step. A cancel then comes too late to undo
    // anything; stopping would leave the old copy for good.
    QDir(installed(QString())).removeRecursively();
    QVERIFY(writeFile(installed("run.sh"), "#!/bin/sh\necho old\n"));
    Configuration configuration;
    setUpVersion850(configuration);
    UpdateEngine engine(configuration);
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    QStringList messages;
    connect(&engine, &UpdateEngine::message, this, [&](const QString &text) {
        messages.append(text);
        if (text == QLatin1String("Starting file deletes"))
            engine.cancelUpdate();
    });
    QVERIFY(engine.initialize());
    QVERIFY(engine.startUpdate());
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(finished.count(), 1);
    QVERIFY(messages.contains(QLatin1String("Starting file deletes")));
    QVERIFY(!messages.contains(QLatin1String("User aborted update")));
    QCOMPARE(engine.getState(), UpdateEngine::Finished);
    QCOMPARE(installedFiles(),
             (QMap<QString, QByteArray> {{"run.sh", "#!/bin/sh\n"},
                                         {"data/level.dat", QByteArray(5000, 'l')}}));
}

void TestUpdateEngine::guardsDuringInstallation()
{
    // A release with a large file, so that its copy into the installation
    // takes a while on a pool thread.
    const QByteArray big = pattern(24 * 1024 * 1024, 'b');
    ReleaseMirror release851(QStringLiteral("client_linux_amd64"), 851,
                             {{"installed-engine-test/run.sh", "#!/bin/sh\necho 851\n"},
                              {"installed-engine-test/big.dat", big}});
    QVERIFY2(release851.error().isEmpty(), qPrintable(release851.error()));
    QVERIFY(writeMirrorsFile(release851.mirrorsIni()));
    QDir(installed(QString())).removeRecursively();
    QVERIFY(writeFile(installed("run.sh"), "#!/bin/sh\necho old\n"));
    const QMap<QString, QByteArray> before = installedFiles();
    const QMap<QString, QByteArray> after {{"run.sh", "#!/bin/sh\necho 851\n"}, {"big.dat", big}};

    Configuration configuration;
    configuration.clientVersion = 851;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    auto engine = std::make_unique<UpdateEngine>(configuration);
    bool installing = false;
    connect(engine.get(), &UpdateEngine::message, this, [&](const QString &text) {
        if (text.startsWith(QLatin1String("add/replace")))
            installing = true;
    });
    QVERIFY(engine->initialize());
    QVERIFY(engine->startUpdate());
    QVERIFY(QTest::qWaitFor(
        [&] {
            return installing
                && (QThreadPool::globalInstance()->activeThreadCount() > 0
                    || engine->getState() != UpdateEngine::Running);
        },
        60000));
    if (engine->getState() == UpdateEngine::Running) {
        QTest::ignoreMessage(QtWarningMsg, "UpdateEngine::reset() refused: a run is in progress");
        QVERIFY(!engine->reset());
        QTest::ignoreMessage(QtWarningMsg,
                             "UpdateEngine::initialize() refused: a run is in progress");
        QVERIFY(!engine->initialize());
        QTest::ignoreMessage(QtWarningMsg,
                             "UpdateEngine::startUpdate() refused: a run is in progress");
        QVERIFY(!engine->startUpdate());
        QCOMPARE(engine->getState(), UpdateEngine::Running);
    }
    // Gone in the middle of the copy: the run is cancelled, the copy waited
    // for, and the replacement undone or, if already committed, completed.
    engine = nullptr;
    QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
    const QMap<QString, QByteArray> files = installedFiles();
    QVERIFY2(files == before || files == after, qPrintable(files.keys().join(u',')));
}

void TestUpdateEngine::cleanupDirectoryKeepsTopAndLinks()
{
    const QString top = makeDir(QStringLiteral("tree"));
    makeDir(QStringLiteral("tree/a/b"));
    const QString outside = makeDir(QStringLiteral("outside"));
    QFile(outside + "/victim").open(QIODevice::WriteOnly);
    QFile(top + "/a/b/file").open(QIODevice::WriteOnly);
    QFile(top + "/.hidden").open(QIODevice::WriteOnly);
    QVERIFY(QFile::link(outside, top + "/dirlink"));
    QVERIFY(QFile::link(outside + "/victim", top + "/filelink"));

    UpdateEngine::cleanupDirectory(top);
    QVERIFY(QFileInfo(top).isDir());
    QCOMPARE(
        QDir(top).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
        QStringList({"dirlink", "filelink"}));
    QVERIFY(QFile::exists(outside + "/victim"));
}

void TestUpdateEngine::bannerCap_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announce");
    QTest::addColumn<bool>("shown");

    QTest::newRow("270000 announced") << 270000 << true << true;
    QTest::newRow("270001 announced") << 270001 << true << false;
    QTest::newRow("small without length") << 1000 << false << true;
    QTest::newRow("oversize without length") << 2000000 << false << false;
}

void TestUpdateEngine::bannerCap()
{
    QFETCH(int, size);
    QFETCH(bool, announce);
    QFETCH(bool, shown);
    TestHttpMirror server;
    QVERIFY(server.isListening());
    server.setContent(QStringLiteral("/banner.png"), QByteArray(size, 'b'));
    if (!announce)
        server.setFault(QStringLiteral("/banner.png"), TestHttpMirror::Fault::noContentLength());

    Configuration configuration;
    UpdateEngine engine(configuration);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.onBannerFound(server.url(QStringLiteral("/banner.png")).toString(),
                         QStringLiteral("https://www.example.com/offer"));
    QTRY_COMPARE(server.requestCount(QStringLiteral("/banner.png")), 1);
    if (shown) {
        QTRY_COMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toByteArray().size(), size);
        QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("https://www.example.com/offer"));
    } else {
        // The transfer is abandoned: the server sees its connection close.
        QTRY_COMPARE(server.openConnectionCount(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(found.count(), 0);
    }
}

void TestUpdateEngine::bannerAddressesMustBeWebAddresses_data()
{
    QTest::addColumn<QString>("imagePath");
    QTest::addColumn<QString>("clickUrl");
    QTest::addColumn<bool>("fetched");
    QTest::addColumn<QString>("expectedClick");

    QTest::newRow("web addresses") << "/b.png"
                                   << "http://example.com/" << true << "http://example.com/";
    QTest::newRow("local file click") << "/b.png"
                                      << "file:///etc/passwd" << true << "";
    QTest::newRow("custom handler click") << "/b.png"
                                          << "mailto:x@example.com" << true << "";
    QTest::newRow("local file image") << "file:///etc/hostname"
                                      << "http://example.com/" << false << "";
    QTest::newRow("empty image") << ""
                                 << "http://example.com/" << false << "";
}

void TestUpdateEngine::bannerAddressesMustBeWebAddresses()
{
    QFETCH(QString, imagePath);
    QFETCH(QString, clickUrl);
    QFETCH(bool, fetched);
    QFETCH(QString, expectedClick);
    TestHttpMirror server;
    server.setContent(QStringLiteral("/b.png"), QByteArray("img"));
    const QString imageUrl
        = imagePath.startsWith(QLatin1Char('/')) ? server.url(imagePath).toString() : imagePath;

    Configuration configuration;
    UpdateEngine engine(configuration);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.onBannerFound(imageUrl, clickUrl);
    if (fetched) {
        QTRY_COMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(1).toString(), expectedClick);
    } else {
        QCoreApplication::processEvents();
        QCOMPARE(found.count(), 0);
        QCOMPARE(server.totalRequestCount(), 0);
    }
}

QTEST_GUILESS_MAIN(TestUpdateEngine)
#include "tst_updateengine.moc"
