#pragma once

#include <QByteArray>
#include <QString>

/**
 * @class SessionMarker
 * @brief Tells which installation a session directory in the temporary directory belongs to.
 *
 * A run that is killed before it records its session (while the product ini downloads, while
 * the lists are built) leaves a directory that no record names. Whose it is cannot be told from
 * its name or content: several installations of one user share the temporary directory, and
 * another one's updater may be at work in its own directory right now. So the first thing put
 * into a new session directory is a small file naming the installation: its canonical path and
 * the device and inode of its lock file (RunLock). Whoever holds that lock is the only updater
 * of the installation, so a marked directory of this installation that no record names belongs
 * to a run that is over, whatever it holds.
 *
 * The lock file's identity, not the path alone, is what counts: two installations can have the
 * same path (in different mount namespaces sharing a temporary directory), never the same locked
 * file. An installation without a lock file (nothing holds a lock on it) marks nothing.
 *
 * The marker is written in one write() into a file made with O_EXCL; a kill between the two
 * leaves it empty (Unfinished), which says no more than an empty directory does. Directories of
 * updaters before the marker carry none (Unmarked) and are nobody's to remove.
 */
class SessionMarker
{
public:
    enum Owner {
        Unmarked, ///< no marker: an older updater's, or made before one was written
        Unfinished, ///< an empty marker: a run killed while writing it
        ThisInstallation, ///< marked with the identity asked about
        OtherInstallation ///< marked with another identity, or unreadable as a marker
    };

    /// The marker's name in a session directory; no file of a release can have it ("::").
    static QString fileName();

    /// The identity of the installation in @p root; empty when it has no lock file.
    static QByteArray identity(const QString &root);

    /**
     * Writes @p identity as the marker of the new session directory @p dir. Nothing is written
     * (true) for an empty identity. False with @p problem set when the marker could not be made.
     */
    static bool write(const QString &dir, const QByteArray &identity, QString *problem);

    /// Whose the session directory open as @p dirFd is, compared with @p identity. The marker is
    /// read without following a link and must be a small regular file of this user.
    static Owner ownerAt(int dirFd, const QByteArray &identity);
    /// The same for the session directory @p dir.
    static Owner owner(const QString &dir, const QByteArray &identity);

    /// Largest marker read; a marker holds a path and two numbers.
    static constexpr qint64 MaxBytes = 8192;
};
