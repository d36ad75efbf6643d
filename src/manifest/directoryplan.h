#pragma once

#include "manifest/filespecifications.h"
#include "manifest/releasedirectories.h"

#include <QSet>
#include <QString>

/// What an installation needs of a release's directories (ReleaseDirectories): the empty ones
/// it lacks, to create, and the dropped ones it still holds, to remove when empty, with those its
/// deleted files leave. Only looks at
/// the installation; the paths must have been checked.
class DirectoryPlan
{
public:
    enum Outcome {
        Planned,
        FileAndDirectory, ///< the release installs a file where it has an empty directory
        NotADirectory ///< something other than a directory stands where one is to be
    };

    /**
     * Fills directoryList and dropDirectoryList of @p results for the installation at
     * @p installDir, whose files of the release are @p destinations. The directories above the
     * files of the delete list that the release keeps nothing in (no file below them, no empty
     * directory at or below them) count as dropped. A dropped directory that the release also
     * has as an empty one, or that is not a directory in the installation (a link included), is
     * left alone. On failure the offending path goes to @p path.
     */
    static Outcome make(const ReleaseDirectories &directories, const QString &installDir,
                        const QSet<QString> &destinations, FileSpecifications *results,
                        QString *path);
};
