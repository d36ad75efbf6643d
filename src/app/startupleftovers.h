#pragma once

#include <QByteArray>
#include <QString>

/**
 * @class StartupLeftovers
 * @brief Removes what interrupted runs leave outside the installation journal's reach.
 *
 * A settings save cut short by a kill leaves its temporary copy ("update.ini.XXXXXX") beside
 * update.ini (the lock file it leaves is cleared by UpdateIniData before the next save); a kill
 * before a run records its session (while the product ini downloads, while the lists are built,
 * during a run with nothing to do) leaves a session directory nobody will reuse. Both are removed
 * at start-up by the holder of the installation's RunLock, when no updater of this installation
 * can be writing them.
 *
 * A session directory is removed whatever it holds only when its marker (SessionMarker) names
 * this installation, it is this user's and the session record does not name it: its run is then
 * over. Any other is another installation's or an older updater's, whose updater may be at work
 * in it; of those only empty ones untouched for a while go (an empty directory is all an rmdir()
 * can remove, and one made a moment ago may be about to be used). Nothing is followed through a
 * link: directories are opened with O_NOFOLLOW and emptied through their descriptors.
 */
class StartupLeftovers
{
public:
    /// Session directories younger than this (by their modification time) are left alone
    /// unless marked as this installation's.
    static constexpr qint64 OrphanAgeSeconds = 60;
    /// How deep a session's tree is emptied; a release's paths are never nearly as deep.
    static constexpr int MaxDepth = 128;

    /**
     * Removes the temporary files of an interrupted save of the settings file @p settingsPath.
     * Returns how many were removed.
     */
    static int removeSettingsTemporaries(const QString &settingsPath);

    /**
     * Removes the session directories in @p tempPath that this installation's runs left (marked
     * with @p identity, see SessionMarker) with everything in them, and this user's empty ones
     * (or holding only an empty marker) whose modification time is at least OrphanAgeSeconds
     * old; never @p recordedDir. Returns how many were removed.
     */
    static int removeOrphanedSessions(const QString &tempPath, const QString &recordedDir,
                                      const QByteArray &identity);

    /// Empties the directory open as @p dirFd without following a link (links themselves are
    /// removed), at most @p depth levels down. True when it is empty.
    static bool emptyDirectoryAt(int dirFd, int depth = MaxDepth);
};
