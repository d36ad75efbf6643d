#include "app/headlessstartup.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/headlessrunner.h"
#include "app/installationrepair.h"
#include "app/runlock.h"
#include "app/singleinstancechecker.h"
#include "app/terminationsignals.h"
#include "app/translators.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTimer>

#include <cstring>

namespace {

const char HeadlessOption[] = "--headless";

// A failed version query is retried this often before the run gives up.
constexpr int VersionQueryRetries = 3;

} // namespace

bool isHeadlessCommandLine(int argc, char **argv)
{
    return argc >= 2 && std::strcmp(argv[1], HeadlessOption) == 0;
}

int runHeadlessUpdater(int argc, char **argv)
{
    // Before anything can start a thread (see TerminationSignals).
    TerminationSignals::block();

    QCoreApplication app(argc, argv);

    const Translators translators(QLocale::system().name());
    // Whoever holds the lock owns the installation, its journal and its session. Unlike a
    // window start, nothing is handed over: the caller is a script that must learn that its
    // run did not happen.
    const QString root = Configuration::getAppRootPath();
    RunLock lock(root);
    switch (lock.tryAcquire()) {
    case RunLock::Acquired:
        break;
    case RunLock::HeldElsewhere:
        ConsoleLog::write(QObject::tr("Another update is already running in this installation."));
        return HeadlessRunner::AlreadyRunning;
    case RunLock::Failed:
        ConsoleLog::writeBox(QObject::tr("Error"), lock.errorText());
        return HeadlessRunner::PreparationFailed;
    }
    // Only what brings a window start's request to this run's log; the lock decides who runs.
    SingleInstanceChecker instanceChecker;
    QObject::connect(
        &instanceChecker, &SingleInstanceChecker::otherInstanceActivate, [](const QString &) {
            ConsoleLog::write(
                QObject::tr("Another start of the updater found this unattended run."));
        });

    const InstallationRepair repair(root);
    if (!repair.succeeded()) {
        ConsoleLog::writeBox(QObject::tr("Error"), repair.errorText());
        return HeadlessRunner::PreparationFailed;
    }
    if (!repair.logLine().isEmpty())
        ConsoleLog::write(repair.logLine());

    Configuration configuration;
    configuration.versionQueryRetries = VersionQueryRetries;
    HeadlessRunner runner(configuration);
    TerminationSignals terminationSignals;
    QObject::connect(
        &terminationSignals, &TerminationSignals::received, &runner, [&runner](int signalNumber) {
            ConsoleLog::write(QObject::tr("Received signal %1, cancelling").arg(signalNumber));
            runner.cancel();
        });

    // Parsed as the window start's command line: "--nouser" alone asks the
    // version server; with TYPE VERSION there is nothing to ask it (a window
    // start with "--nouser TYPE VERSION" asks and throws the answer away, and
    // a script should not fail on an unreachable server it does not need).
    QStringList args = QCoreApplication::arguments();
    const bool verifyAll = Configuration::takeVerifyOption(args);
    if (args.size() != 2 && args.size() != 4) {
        ConsoleLog::writeBox(QObject::tr("Error"),
                             QObject::tr("Usage: update --headless [--verify] [TYPE VERSION]"));
        return HeadlessRunner::InvalidConfiguration;
    }
    if (args.size() == 2)
        args[1] = QStringLiteral("--nouser");
    else
        args.removeAt(1);
    if (!configuration.parseCommandLineOptions(args))
        return HeadlessRunner::InvalidConfiguration;
    configuration.startMode = 2;
    configuration.verifyAll = verifyAll;

    ConsoleLog::write(
        QStringLiteral("Ready to update %1 to version %2 (%3 channel, headless start)")
            .arg(configuration.clientType)
            .arg(configuration.clientVersion)
            .arg(Configuration::channelName(configuration.channel)));

    QObject::connect(&runner, &HeadlessRunner::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QTimer::singleShot(0, &runner, &HeadlessRunner::start);
    return app.exec();
}
