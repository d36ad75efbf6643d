#pragma once

#include "manifest/filespecifications.h"

#include <QList>
#include <QString>

/**
 * @class DiskSpaceCheck
 * @brief Tells before the first download whether the update fits on the disks it writes to.
 *
 * The session's directory receives every byte still to fetch (what a kept partial file already
 * holds is not counted again). The installation receives the unpacked content of every
 * compressed file, and a copy of every other file when the session lies on another file system
 * (on the same one, verified downloads are linked into place and take no room of their own).
 * Each file is counted in whole blocks of its file system. Free room is what this user may
 * take (root's reserve included for root).
 *
 * A run that would fill a disk half way through is refused at once, with a message that names
 * the directory, instead of failing after minutes of downloading; a disk that fills anyway
 * (another program writing meanwhile) is caught where the write fails.
 */
class DiskSpaceCheck
{
public:
    /**
     * Empty when the update fits, else the message "Not enough disk space in %1 to store the
     * update: %2 KB needed, %3 KB free" for the first directory that lacks room. A file system
     * whose free room cannot be learned is taken to have enough.
     */
    static QString shortage(const QList<FileDownloadSpecification> &downloads,
                            const QList<FileReplaceSpecification> &replacements,
                            const QString &sessionDir, const QString &installDir);
};
