#pragma once

#include "manifest/releasebinding.h"
#include "manifest/sidefile.h"

#include <QByteArray>
#include <QHash>
#include <QString>

/// Writes the files beside a release's ini that carry its files' digests and block lists:
///
///     VERSION/TYPE.hashes               the side file: digests and every list, as updaters
///                                       that read the lists from it expect
///     VERSION/TYPE.digests(.gz)         the digests, and a "list" line binding each list file
///     VERSION/SECTION/KEY::blocks(.gz)  one stored file's list (SideFile::listPathOf())
///
/// and the gzip form of any other file of the release (the ini). Updaters that know the digests
/// file fetch it instead of the side file, and a file's list only when they put that file
/// together; they ask for the gzip form first. Nothing is synced here: the release is made
/// durable at once before it is signed.
class ReleaseMetadataWriter
{
public:
    /// @p versionDir is the release's directory in the mirror tree (MIRROR/VERSION).
    ReleaseMetadataWriter(const QString &versionDir, const QString &clientType);

    static QString sideFileName(const QString &clientType);
    static QString digestsFileName(const QString &clientType);
    /// Appended to a file's name for its gzip form.
    static const QString GzipSuffix;

    /**
     * Writes the side file, the list file of every file in @p listLines (its lines, by side file
     * path), and the digests file binding them, and names the side file and the digests file
     * with their SHA-256 and size in @p binding. False with the reason in errorString().
     */
    bool write(const SideFile &sideFile, const QHash<QString, QByteArray> &listLines,
               ReleaseBinding *binding);

    /// Writes PATH.gz beside the file at @p path. False with the reason in errorString().
    bool writeGzipOf(const QString &path);

    /// Every file this release may have written here, for a release built anew over it.
    QStringList outputPaths() const;

    QString errorString() const { return error; }

    /// The bytes of a list file holding a stored file's @p lines from the side file.
    static QByteArray listFileOf(const QByteArray &lines);
    /// The bytes of the digests file of @p sideFile, binding the lists in @p lists.
    static QByteArray digestsFileOf(const SideFile &sideFile,
                                    const QHash<QString, SideFile::ListBinding> &lists);

private:
    // Writes data at path, and with gzip its gzip form beside it.
    bool writeFile(const QString &path, const QByteArray &data, bool gzip);

    QString versionDir;
    QString clientType;
    QString error;
};
