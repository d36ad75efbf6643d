#pragma once

#include "manifest/releasedirectories.h"

#include <QSet>
#include <QString>
#include <QStringList>

/// An earlier release of the same client type in the mirror tree, read for what a user who
/// installed it (or skipped it) must lose when the new release comes: "release --previous N".
///
/// Without it, a publisher names every removed file by hand, and a file forgotten there stays in
/// every installation for ever.
class PreviousRelease
{
public:
    /// Reads MIRRORDIR/VERSION/TYPE.ini. False with the reason in @p problem when it is missing
    /// or lists no files.
    bool read(const QString &iniPath, QString *problem);

    /**
     * The installed paths to remove so that an installation of this earlier release ends up with
     * the new release's files only: every path it installed that the new release does not, and
     * its own delete entries that the new release does not bring back (a user who skipped it
     * still had those files). Sorted; never a path of @p newFiles or a directory holding one.
     */
    QStringList stalePaths(const QSet<QString> &newFiles) const;

    /**
     * The directories an installation of this earlier release may hold and the new release has
     * not: those above its files, its empty ones and those it dropped itself, less those above
     * @p newFiles and @p newEmptyDirectories and these themselves. Sorted.
     */
    QStringList droppedDirectories(const QSet<QString> &newFiles,
                                   const QStringList &newEmptyDirectories) const;

private:
    QStringList installed;
    QStringList deleted;
    ReleaseDirectories directories;
};
