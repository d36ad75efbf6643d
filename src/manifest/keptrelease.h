#pragma once

#include <QList>
#include <QString>

/**
 * @class KeptRelease
 * @brief The installed release's metadata, kept in the installation as one file.
 *
 * A run that left the installation at a release keeps that release's product ini, its signature
 * files and the file with its digests in "update.release", so that a later run for the same
 * version can check them again instead of fetching them, and an update to another version knows
 * which files the installed release brought. The file is one of the updater's own: no
 * comparison looks at it, and it is replaced in one rename(), so that it is never seen half
 * written; a run that installs files replaces it under the installation journal with them.
 *
 *     varnolt-kept-release 1
 *     file <name> <size>
 *     <size bytes>
 *     (an empty line, then the next file)
 *
 * Nothing here trusts the content: whoever restores the files checks them as fetched ones.
 */
class KeptRelease
{
public:
    /// "update.release": its name in the installation directory.
    static QString fileName();

    /// Bounds what is read back: the product ini and the digests of a release of any size fit.
    static constexpr qint64 MaxBytes = 256 * 1024 * 1024;
    /// Bounds the number of files, so that a damaged copy cannot name thousands.
    static constexpr int MaxFiles = 8;

    struct Part
    {
        QString name; ///< a plain file name (ReleaseBinding::isPlainFileName())
        QString path; ///< where its bytes lie now
    };

    /**
     * Writes the files @p parts as the kept copy @p destination: staged beside it, synced, and
     * renamed over it, then the directory synced. False with the reason in @p problem; the
     * destination is then as it was.
     */
    static bool write(const QString &destination, const QList<Part> &parts, QString *problem);

    /// Removes the kept copy @p path, durably; true when it is gone.
    static bool remove(const QString &path);

    /**
     * Writes the files of the kept copy @p source into the directory @p directory, which must
     * not exist yet and is created, each under its name; their names go to @p names. False
     * with the reason in @p problem for a copy that is cut short, malformed, too large, or names
     * a file twice.
     */
    static bool restore(const QString &source, const QString &directory, QStringList *names,
                        QString *problem);
};
