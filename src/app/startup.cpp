#include "app/startup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/singleinstancechecker.h"
#include "app/translators.h"
#include "engine/updateengine.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>

namespace {

constexpr int AutoStartDelayMs = 2000;

} // namespace

int runUpdater(int argc, char **argv)
{
    QApplication app(argc, argv);

    // Copies of the updater's own files that an earlier run replaced could
    // not be deleted while they were in use; they can now.
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QLatin1String("/imageformats"));
    UpdateEngine::removeOldFiles(root + QLatin1String("/accessible"));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const Translators translators(QLocale::system().name());

    int exitCode = 1;
    {
        Configuration configuration;
        MainWindow window(configuration);
        if (configuration.parseCommandLineOptions()) {
            if (configuration.startMode == 2)
                QTimer::singleShot(AutoStartDelayMs, &window, &MainWindow::onAutoStartUpdate);
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
