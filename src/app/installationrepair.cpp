#include "app/installationrepair.h"

#include "app/sessionmarker.h"
#include "app/startupleftovers.h"
#include "app/updateinidata.h"
#include "engine/updateengine.h"
#include "fileops/installjournal.h"
#include "manifest/filestatecache.h"

#include <QCoreApplication>
#include <QDir>

InstallationRepair::InstallationRepair(const QString &root)
{
    const InstallJournal::Recovery recovery = InstallJournal::recover(root);
    // The recovery changed files behind the cache's back; whatever it recorded of them, the next
    // comparison reads every file.
    if (recovery.outcome != InstallJournal::Recovery::Nothing)
        FileStateCache::discard(root);
    if (recovery.outcome != InstallJournal::Recovery::Failed) {
        // Only now: an installation undone above has given these copies their
        // names back. Copies of the updater's own files that a finished run
        // kept could not be deleted while they were in use; they can now.
        UpdateEngine::removeOldFiles(root);
        UpdateEngine::removeOldFiles(root + QLatin1String("/imageformats"));
        UpdateEngine::removeOldFiles(root + QLatin1String("/accessible"));
    }
    // Whatever became of the journal: these are never part of the installation.
    StartupLeftovers::removeSettingsTemporaries(root + QLatin1String("/update.ini"));
    QString recordedDir;
    UpdateIniData::get(nullptr, nullptr, &recordedDir);
    StartupLeftovers::removeOrphanedSessions(QDir::tempPath(), recordedDir,
                                             SessionMarker::identity(root));
    switch (recovery.outcome) {
    case InstallJournal::Recovery::Nothing:
        return;
    case InstallJournal::Recovery::Undone:
        line = QCoreApplication::translate("QObject",
                                           "Recovered an interrupted installation: %1 changes "
                                           "undone")
                   .arg(recovery.changes);
        return;
    case InstallJournal::Recovery::Finished:
        line = QCoreApplication::translate("QObject",
                                           "Recovered an interrupted installation: finished");
        return;
    case InstallJournal::Recovery::Failed:
        break;
    }
    ok = false;
    error
        = QCoreApplication::translate("QObject",
                                      "An interrupted installation could not be repaired: %1. "
                                      "The journal %2 was left in place.")
              .arg(recovery.problem,
                   QDir::toNativeSeparators(root + QLatin1Char('/') + InstallJournal::fileName()));
}
