#include "app/startup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/messagebox.h"
#include "app/singleinstancechecker.h"
#include "engine/updateengine.h"
#include "fileops/installjournal.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

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

// Repairs an installation that a crash interrupted, before anything else
// looks at it. Returns false when the journal could not be acted on: the
// installation is then in an unknown state, and no run may start over it.
bool recoverInstallation(const QString &root, QString *logLine)
{
    const InstallJournal::Recovery recovery = InstallJournal::recover(root);
    switch (recovery.outcome) {
    case InstallJournal::Recovery::Nothing:
        return true;
    case InstallJournal::Recovery::Undone:
        *logLine = QCoreApplication::translate("QObject",
                                               "Recovered an interrupted installation: %1 "
                                               "changes undone")
                       .arg(recovery.changes);
        return true;
    case InstallJournal::Recovery::Finished:
        *logLine = QCoreApplication::translate(
            "QObject", "Recovered an interrupted installation: finished");
        return true;
    case InstallJournal::Recovery::Failed:
        break;
    }
    MessageBox::critical(nullptr, QCoreApplication::translate("QObject", "Error"),
                         QCoreApplication::translate(
                             "QObject", "An interrupted installation could not be repaired: %1. "
                                        "The journal %2 was left in place.")
                             .arg(recovery.problem,
                                  QDir::toNativeSeparators(root + QLatin1Char('/')
                                                           + InstallJournal::fileName())));
    return false;
}

} // namespace

int runUpdater(int argc, char **argv)
{
    QApplication app(argc, argv);

    // First of all: a running instance may be installing, and the journal
    // and the old copies in the installation are still its own.
    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const QString root = Configuration::getAppRootPath();
    QString recoveryLine;
    if (!recoverInstallation(root, &recoveryLine))
        return 2;

    // Copies of the updater's own files that an earlier run replaced could
    // not be deleted while they were in use; they can now.
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QLatin1String("/imageformats"));
    UpdateEngine::removeOldFiles(root + QLatin1String("/accessible"));

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
        if (!recoveryLine.isEmpty())
            window.onAppendText(recoveryLine);
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
