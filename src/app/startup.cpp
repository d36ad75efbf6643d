#include "app/startup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/installationrepair.h"
#include "app/messagebox.h"
#include "app/runlock.h"
#include "app/singleinstancechecker.h"
#include "app/translators.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLocale>
#include <QThread>
#include <QTimer>

namespace {

constexpr int AutoStartDelayMs = 2000;
// How long a second start keeps asking the updater at work to come to the front: it holds the
// installation's lock from its first step but listens only once its window exists.
constexpr int HandOverWaitMs = 5000;
constexpr int HandOverRetryMs = 50;

// VARNOLT_AUTO_START_MS shortens the wait for scripted runs (tests run the
// executable hundreds of times).
int autoStartDelayMs()
{
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("VARNOLT_AUTO_START_MS", &ok);
    return ok && delay >= 0 ? delay : AutoStartDelayMs;
}

} // namespace

int runUpdater(int argc, char **argv)
{
    QApplication app(argc, argv);

    // First of all: whoever holds the lock owns the installation, its journal and its session.
    RunLock lock(Configuration::getAppRootPath());
    RunLock::Outcome claim = lock.tryAcquire();
    const Translators translators(QLocale::system().name());
    const QDeadlineTimer deadline(HandOverWaitMs);
    while (claim == RunLock::HeldElsewhere) {
        if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
            return 0;
        if (deadline.hasExpired()) {
            // Held by an unattended run or by another user's updater: nothing to bring to the
            // front, but the user who started this one should know why nothing appears.
            MessageBox::information(
                nullptr, QCoreApplication::translate("MainWindow", "Update"),
                QCoreApplication::translate(
                    "QObject", "Another update is already running in this installation."));
            return 0;
        }
        QThread::msleep(HandOverRetryMs);
        // The other one may also have ended meanwhile: this start is then the updater.
        claim = lock.tryAcquire();
    }
    if (claim == RunLock::Failed) {
        MessageBox::critical(nullptr, QCoreApplication::translate("QObject", "Error"),
                             lock.errorText());
        return 2;
    }

    int exitCode = 1;
    {
        Configuration configuration;
        MainWindow window(configuration);
        // Under the lock, so no other updater repairs the same journal; after the window, so
        // that a second start meanwhile finds this instance listening and hands over.
        const InstallationRepair repair(Configuration::getAppRootPath());
        if (!repair.succeeded()) {
            MessageBox::critical(nullptr, QCoreApplication::translate("QObject", "Error"),
                                 repair.errorText());
            return 2;
        }
        if (!repair.logLine().isEmpty())
            window.onAppendText(repair.logLine());
        if (configuration.parseCommandLineOptions()) {
            if (configuration.startMode == 2)
                QTimer::singleShot(autoStartDelayMs(), &window, &MainWindow::onAutoStartUpdate);
            window.setUIToConfigSpecs();
            window.setVisible(true);
            // Tells scripts and support what this run is about, and that the
            // window is up (and this instance reachable for a second start).
            ConsoleLog::write(
                QStringLiteral("Ready to update %1 to version %2 (%3 channel, %4 start)")
                    .arg(configuration.clientType)
                    .arg(configuration.clientVersion)
                    .arg(Configuration::channelName(configuration.channel))
                    .arg(configuration.startMode == 2 ? QLatin1String("automatic")
                                                      : QLatin1String("manual")));
            exitCode = app.exec();
        }
    }
    return exitCode;
}
