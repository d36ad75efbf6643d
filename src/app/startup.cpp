#include "app/startup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/installationrepair.h"
#include "app/messagebox.h"
#include "app/singleinstancechecker.h"
#include "app/translators.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>

namespace {

constexpr int AutoStartDelayMs = 2000;

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

    // First of all: a running instance may be installing, and the journal
    // and the old copies in the installation are still its own.
    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const Translators translators(QLocale::system().name());

    int exitCode = 1;
    {
        Configuration configuration;
        MainWindow window(configuration);
        // Only now, with the window listening as this installation's
        // instance: a second start meanwhile hands over instead of repairing
        // the same journal at the same time.
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
