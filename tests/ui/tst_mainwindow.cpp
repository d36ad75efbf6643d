#include "app/configuration.h"
#include "engine/timeleftestimate.h"
#include "engine/updateengine.h"
#include "httpmirror.h"
#include "manifest/filestatecache.h"
#include "releasemirror.h"
#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTranslator>

// The window on the offscreen platform, driving a real engine. Boxes are
// real modal boxes, answered by a BoxAnswerer.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void initialState();
    void channelLabel_data();
    void channelLabel();
    void downloadFigures_data();
    void downloadFigures();
    void progressIsTruncated();
    void detailsButtonShowsAndHidesLog();
    void logKeepsLatestLines();
    void successfulRunOffersClientStart();
    void failedRunOffersRestart();
    void closeDuringRunAnsweredNo();
    void closeDuringRunAnsweredYes();
    void closeWhenIdle();
    void translations_data();
    void translations();
    void banner();

private:
    QTemporaryDir tmp;
    QByteArray oldTmpDir;
    std::unique_ptr<ReleaseMirror> release;
    TestHttpMirror *mirror = nullptr;
};

namespace {

const char IniPath[] = "/850/client_linux_amd64.ini";

} // namespace

void TestMainWindow::initTestCase()
{
    QVERIFY(tmp.isValid());
    oldTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qunsetenv("VARNOLT_BOX_ANSWERS");
    // The banner query must not leave the machine.
    qputenv("VARNOLT_UPDATE_SERVER", "127.0.0.1");

    release = std::make_unique<ReleaseMirror>(
        QStringLiteral("client_linux_amd64"), 850,
        QMap<QString, QByteArray> {
            {"installed-window-test/readme.txt", "installed by the test\n"}});
    QVERIFY2(release->error().isEmpty(), qPrintable(release->error()));
    mirror = &release->server();
}

void TestMainWindow::init()
{
    QFile::remove(Configuration::getSettingsFilePath());
    QFile::remove(Configuration::getAppRootPath() + QLatin1String("/update.release"));
    QVERIFY(writeMirrorsFile(release->mirrorsIni()));
    mirror->clearFaults();
}

void TestMainWindow::cleanup()
{
    // What the runs installed beside the test executable.
    QDir(Configuration::getAppRootPath() + QLatin1String("/installed-window-test"))
        .removeRecursively();
    FileStateCache::discard(Configuration::getAppRootPath());
    QFile::remove(Configuration::getAppRootPath() + QLatin1String("/update.release"));
    QFile::remove(Configuration::getSettingsFilePath());
    QFile::remove(Configuration::getAppRootPath() + QLatin1String("/mirrors.ini"));
}

void TestMainWindow::initialState()
{
    Configuration configuration;
    MainWindow window(configuration);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Varnolt 3 Client Update"));
    QCOMPARE(window.startButton->text(), QStringLiteral("Start Update"));
    QVERIFY(window.startButton->isDefault());
    QCOMPARE(window.totalProgressBar->maximum(), 1000);
    QVERIFY(window.outputTextEdit->isReadOnly());
    QVERIFY(!window.varnoltLabel->pixmap().isNull());
    QCOMPARE(window.banner->size(), QSize(468, 60));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!window.outputTextEdit->isVisible());
    QVERIFY(!window.totalSizeLabel->isVisible());
    QVERIFY(!window.downloadSpeedLabel->isVisible());
    QVERIFY(window.startButton->isEnabled());
    // Tab order: start button, details button, log.
    QCOMPARE(window.startButton->nextInFocusChain(), window.detailsButton);
}

void TestMainWindow::channelLabel_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("startMode");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("startEnabled");

    QTest::newRow("stable, manual") << int(Stable) << 1 << QString() << true;
    QTest::newRow("beta") << int(Beta) << 1 << QStringLiteral("Beta channel") << true;
    QTest::newRow("alpha 850") << int(Alpha) << 1 << QStringLiteral("Alpha channel (850)") << true;
    QTest::newRow("automatic start disables the button") << int(Stable) << 2 << QString() << false;
}

void TestMainWindow::channelLabel()
{
    QFETCH(int, channel);
    QFETCH(int, startMode);
    QFETCH(QString, label);
    QFETCH(bool, startEnabled);
    Configuration configuration;
    configuration.channel = UpdateChannel(channel);
    configuration.clientVersion = 850;
    configuration.startMode = startMode;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    QCOMPARE(window.versionLabel->text(), label);
    QCOMPARE(window.startButton->isEnabled(), startEnabled);
}

void TestMainWindow::downloadFigures_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QString>("doneText");
    QTest::addColumn<QString>("totalText");
    QTest::addColumn<QString>("speedText");

    QTest::newRow("999 bytes is 0 KB") << quint64(999) << quint64(1000) << quint64(1999) << "0 KB"
                                       << "1 KB"
                                       << "1 KB/s";
    QTest::newRow("thousands, not 1024")
        << quint64(1024000) << quint64(4096000) << quint64(0) << "1024 KB"
        << "4096 KB"
        << "0 KB/s";
}

void TestMainWindow::downloadFigures()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QString, doneText);
    QFETCH(QString, totalText);
    QFETCH(QString, speedText);
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    UpdateEngine *engine = window.updateEngine();

    emit engine->downloadProgress(done, total, speed, true);
    QVERIFY(window.totalSizeLabel->isVisible());
    QVERIFY(window.label_6->isVisible());
    QCOMPARE(window.totalSizeLabel->text(), doneText);
    QCOMPARE(window.totalTotalSizeLabel->text(), totalText);
    QCOMPARE(window.downloadSpeedLabel->text(), speedText);
    // The time left shows once the speed has been seen for a few ticks.
    QVERIFY(!window.timeLeftLabel->isVisible());
    for (int tick = 1; tick < TimeLeftEstimate::WarmUpTicks; ++tick)
        emit engine->downloadProgress(done, total, speed, true);
    QCOMPARE(window.timeLeftLabel->isVisible(), speed > 0 && total > done);

    // Hiding keeps the last texts.
    emit engine->downloadProgress(0, 0, 0, false);
    QVERIFY(!window.totalSizeLabel->isVisible());
    QVERIFY(!window.totalTotalSizeLabel->isVisible());
    QVERIFY(!window.downloadSpeedLabel->isVisible());
    QVERIFY(!window.label_6->isVisible());
    QVERIFY(!window.timeLeftLabel->isVisible());
    QCOMPARE(window.totalSizeLabel->text(), doneText);
}

void TestMainWindow::progressIsTruncated()
{
    Configuration configuration;
    MainWindow window(configuration);
    emit window.updateEngine()->updateProgress(0.9999);
    QCOMPARE(window.totalProgressBar->value(), 999);
    emit window.updateEngine()->updateProgress(0.15);
    QCOMPARE(window.totalProgressBar->value(), 150);
}

void TestMainWindow::detailsButtonShowsAndHidesLog()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int collapsedHeight = window.height();
    QTest::mouseClick(window.detailsButton, Qt::LeftButton);
    QVERIFY(window.outputTextEdit->isVisible());
    QTRY_VERIFY(window.height() > collapsedHeight);
    QTest::mouseClick(window.detailsButton, Qt::LeftButton);
    QVERIFY(!window.outputTextEdit->isVisible());
    QTRY_COMPARE(window.height(), collapsedHeight);
}

void TestMainWindow::logKeepsLatestLines()
{
    Configuration configuration;
    MainWindow window(configuration);
    QTextDocument *log = window.outputTextEdit->document();
    const auto append = [&window](int line) {
        QMetaObject::invokeMethod(&window, "onAppendText",
                                  Q_ARG(QString, QStringLiteral("line %1").arg(line)));
    };
    for (int line = 1; line <= 5000; ++line)
        append(line);
    QCOMPARE(log->blockCount(), 5000);
    QCOMPARE(log->firstBlock().text(), QStringLiteral("line 1"));

    // A run of many files: the latest lines stay, below a line saying where the rest went.
    int maxBlocks = 0;
    for (int line = 5001; line <= 20000; ++line) {
        append(line);
        maxBlocks = qMax(maxBlocks, log->blockCount());
    }
    QVERIFY2(maxBlocks <= 5501, qPrintable(QString::number(maxBlocks)));
    QVERIFY(log->firstBlock().text().contains(QLatin1String("standard error")));
    QCOMPARE(log->lastBlock().text(), QStringLiteral("line 20000"));
    QCOMPARE(log->firstBlock().next().text(),
             QStringLiteral("line %1").arg(20000 - (log->blockCount() - 2)));
    QVERIFY(log->blockCount() > 5000);
    QVERIFY(!log->isUndoAvailable());
}

void TestMainWindow::successfulRunOffersClientStart()
{
    Configuration configuration;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    configuration.clientVersion = 850;
    MainWindow window(configuration);
    window.show();
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QVERIFY(!window.startButton->isEnabled());
    QVERIFY(window.updateEngine()->busy());
    const QString tempDir = configuration.tempDir;
    QVERIFY(QFileInfo(tempDir).isDir());

    QTRY_COMPARE(window.startButton->text(), QStringLiteral("Start Varnolt"));
    QVERIFY(window.startButton->isEnabled());
    QVERIFY(window.startButton->hasFocus());
    QCOMPARE(window.totalProgressBar->value(), 1000);
    QVERIFY(window.outputTextEdit->toPlainText().contains(
        QLatin1String("Update successfully finished")));
    // Asked for compressed first, which the release has.
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath) + QLatin1String(".gz")), 1);
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath) + QLatin1String(".sig")), 1);
    // A successful run leaves no temporary files and no session record.
    QVERIFY(!QFileInfo::exists(tempDir));
    QSettings settings(Configuration::getSettingsFilePath(), QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains(QLatin1String("current")));

    // "Start Varnolt" starts the client's script beside the program and
    // closes the window.
    const QString script
        = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    const QString marker = tmp.filePath(QStringLiteral("client-started"));
    QVERIFY(writeFile(script, "#!/bin/sh\ntouch \"" + QFile::encodeName(marker) + "\"\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QVERIFY(!window.isVisible());
    const bool started = QTest::qWaitFor([&] { return QFile::exists(marker); }, 10000);
    QFile::remove(script);
    QVERIFY(started);
}

void TestMainWindow::failedRunOffersRestart()
{
    // The only mirror lacks the product file: it is dropped and the run fails after the session
    // was recorded for its downloads.
    const QString filePath
        = release->path(QStringLiteral("client_linux_amd64/installed-window-test/readme.txt"));
    mirror->setFault(filePath, TestHttpMirror::Fault::status(404));
    Configuration configuration;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    configuration.clientVersion = 850;
    MainWindow window(configuration);
    window.show();
    BoxAnswerer answerer({QStringLiteral("OK")});
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QTRY_COMPARE(window.startButton->text(), QStringLiteral("Restart"));
    QVERIFY(window.startButton->isEnabled());
    QCOMPARE(window.totalProgressBar->value(), 0);
    const QString log = window.outputTextEdit->toPlainText();
    QVERIFY(log.contains(QLatin1String("known working mirrors available")));
    QVERIFY(log.contains(QLatin1String("Update cancelled")));
    QVERIFY(!log.contains(QLatin1String("User aborted update")));
    QTRY_COMPARE(answerer.count(), 1);
    QCOMPARE(answerer.texts().last(),
             QStringLiteral("Update: Update cancelled. Push \"Details\" to check reasons."));
    // The temporary directory and the record stay for the next run.
    QVERIFY(QFileInfo(configuration.tempDir).isDir());
    QVERIFY(!window.updateEngine()->busy());

    // Restart prepares a new run in the same directory and completes it.
    mirror->clearFaults();
    const QString tempDir = configuration.tempDir;
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QCOMPARE(configuration.tempDir, tempDir);
    QVERIFY(window.outputTextEdit->toPlainText().contains(
        QLatin1String("Previous update session for v. 850 found")));
    QTRY_COMPARE(window.startButton->text(), QStringLiteral("Start Varnolt"));
}

void TestMainWindow::closeDuringRunAnsweredNo()
{
    Configuration configuration;
    configuration.clientVersion = 850;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    MainWindow window(configuration);
    window.show();
    BoxAnswerer answerer({QStringLiteral("No")});
    mirror->setFault(QLatin1String(IniPath) + QLatin1String(".gz"),
                     TestHttpMirror::Fault::stall(10));
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QTRY_COMPARE(mirror->openConnectionCount(), 1);
    QVERIFY(!window.close());
    QCOMPARE(answerer.count(), 1);
    QVERIFY(answerer.texts().first().startsWith(QLatin1String("Question: ")));
    QVERIFY(window.isVisible());
    // The run goes on to its end.
    mirror->resumeStalled(QLatin1String(IniPath) + QLatin1String(".gz"));
    QTRY_COMPARE(window.startButton->text(), QStringLiteral("Start Varnolt"));
    QVERIFY(window.close());
}

void TestMainWindow::closeDuringRunAnsweredYes()
{
    Configuration configuration;
    configuration.clientVersion = 850;
    configuration.clientType = QStringLiteral("client_linux_amd64");
    MainWindow window(configuration);
    window.show();
    BoxAnswerer answerer({QStringLiteral("Yes")});
    mirror->setFault(QLatin1String(IniPath) + QLatin1String(".gz"),
                     TestHttpMirror::Fault::stall(10));
    QTest::mouseClick(window.startButton, Qt::LeftButton);
    QTRY_COMPARE(mirror->openConnectionCount(), 1);
    QVERIFY(!window.close());
    QCOMPARE(answerer.count(), 1);
    // Stopping a download is immediate, so the run is cancelled by now; the
    // program quits instead of offering a restart, and shows no box.
    QTRY_COMPARE(window.updateEngine()->getState(), UpdateEngine::Canceled);
    QTRY_COMPARE(mirror->openConnectionCount(), 0);
    QCOMPARE(window.startButton->text(), QStringLiteral("Start Update"));
    QVERIFY(!window.startButton->isEnabled());
    QVERIFY(window.outputTextEdit->toPlainText().contains(QLatin1String("User aborted update")));
    QVERIFY(!window.outputTextEdit->toPlainText().contains(QLatin1String("Update cancelled")));
    // Nothing is busy any more: the next request closes without a question.
    QVERIFY(window.close());
    QCOMPARE(answerer.count(), 1);
}

void TestMainWindow::closeWhenIdle()
{
    Configuration configuration;
    MainWindow window(configuration);
    window.show();
    BoxAnswerer answerer({QStringLiteral("No")});
    QVERIFY(window.close());
    QCOMPARE(answerer.count(), 0);
}

void TestMainWindow::translations_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("startText");
    QTest::addColumn<QString>("betaText");

    QTest::newRow("de_AT") << "de_AT"
                           << "Update starten"
                           << "Beta Channel";
    QTest::newRow("de_DE") << "de_DE"
                           << "Update starten"
                           << "Beta Channel";
    QTest::newRow("fr_FR") << "fr_FR"
                           << "Start Update"
                           << "Beta channel";
}

void TestMainWindow::translations()
{
    QFETCH(QString, locale);
    QFETCH(QString, startText);
    QFETCH(QString, betaText);
    QTranslator translator;
    (void)translator.load(QLatin1String(":/i18n/update_") + locale);
    QCoreApplication::installTranslator(&translator);
    Configuration configuration;
    configuration.channel = Beta;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    const QString start = window.startButton->text();
    const QString beta = window.versionLabel->text();
    const QString error = QObject::tr("Error");
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(start, startText);
    QCOMPARE(beta, betaText);
    QCOMPARE(error,
             locale.startsWith(QLatin1String("de")) ? QStringLiteral("Fehler")
                                                    : QStringLiteral("Error"));
}

void TestMainWindow::banner()
{
    Configuration configuration;
    MainWindow window(configuration);
    UpdateEngine *engine = window.updateEngine();

    emit engine->bannerFound(QByteArray("not an image"), QStringLiteral("https://a.example/"));
    QVERIFY(window.banner->pixmap().isNull());
    QVERIFY(window.banner->getUrl().isEmpty());

    QImage image(100, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));
    emit engine->bannerFound(png, QStringLiteral("https://b.example/"));
    QCOMPARE(window.banner->pixmap().size(), QSize(468, 60));
    QCOMPARE(window.banner->getUrl(), QStringLiteral("https://b.example/"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
