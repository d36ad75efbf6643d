#include "app/startup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/singleinstancechecker.h"
#include "engine/updateengine.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

namespace {

constexpr int AutoStartDelayMs = 2000;

QLatin1String channelName(UpdateChannel channel)
{
    switch (channel) {
    case Beta:
        return QLatin1String("beta");
    case Alpha:
        return QLatin1String("alpha");
    case Stable:
        break;
    }
    return QLatin1String("stable");
}

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

    // A translator that finds nothing is installed all the same: the texts
    // then simply stay English.
    const QString locale = QLocale::system().name();
    QTranslator appTranslator;
    (void)appTranslator.load(QLatin1String(":/i18n/update_") + locale);
    app.installTranslator(&appTranslator);
    QTranslator qtTranslator;
    (void)qtTranslator.load(QLatin1String("translations/qt_") + locale);
    app.installTranslator(&qtTranslator);

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
                    .arg(channelName(configuration.channel))
                    .arg(configuration.startMode == 2 ? QLatin1String("automatic")
                                                      : QLatin1String("manual")));
            exitCode = app.exec();
        }
    }
    app.removeTranslator(&qtTranslator);
    app.removeTranslator(&appTranslator);
    return exitCode;
}
