#pragma once

#include <QString>

// Repairs an installation that a crash interrupted, at start-up, before
// anything else looks at it (see InstallJournal::recover()), then deletes
// the old copies of the updater's own files that a finished run kept, and what
// interrupted runs left outside the journal (StartupLeftovers). Both the window
// and the headless start run it only while they hold the installation's RunLock:
// a running instance's journal and session are its own.
class InstallationRepair
{
public:
    // Recovers the installation in root.
    explicit InstallationRepair(const QString &root);

    // False when the journal could not be acted on: the installation is then
    // in an unknown state, and no run may start over it.
    bool succeeded() const { return ok; }
    // The log line saying what was done; empty when there was nothing to do.
    QString logLine() const { return line; }
    // Why the repair failed, for the error box or the log.
    QString errorText() const { return error; }

private:
    bool ok = true;
    QString line;
    QString error;
};
