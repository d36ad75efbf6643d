#pragma once

#include <QString>

/**
 * @class StartupLeftovers
 * @brief Removes what interrupted runs leave outside the installation journal's reach.
 *
 * A settings save cut short by a kill leaves its temporary copy ("update.ini.XXXXXX") beside
 * update.ini (the lock file it leaves is cleared by UpdateIniData before the next save); a kill
 * between making a session directory and recording it
 * leaves an empty directory nobody will reuse. Both are removed at start-up by the holder of
 * the installation's RunLock, when no updater of this installation can be writing them.
 *
 * Only this user's own, empty session directories untouched for a while are removed: another
 * installation's updater may have made one a moment ago and not yet written into it, and an
 * empty directory is all an rmdir() can ever remove.
 */
class StartupLeftovers
{
public:
    /// Session directories younger than this (by their modification time) are left alone.
    static constexpr qint64 OrphanAgeSeconds = 60;

    /**
     * Removes the temporary files of an interrupted save of the settings file @p settingsPath.
     * Returns how many were removed.
     */
    static int removeSettingsTemporaries(const QString &settingsPath);

    /**
     * Removes this user's empty session directories in @p tempPath, other than @p recordedDir,
     * whose modification time is at least OrphanAgeSeconds old. Returns how many were removed.
     */
    static int removeOrphanedSessions(const QString &tempPath, const QString &recordedDir);
};
