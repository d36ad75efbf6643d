#ifndef FILEUNZIPFUNC_H
#define FILEUNZIPFUNC_H

#include "fileops/slowfileopfunc.h"

/**
 * @class FileUnzipFunc
 * @brief Decompresses a gzip file into the destination on a pool thread.
 *
 * Streams through fixed 16384-byte buffers; a file is never held in memory as
 * a whole. Succeeds only when every gzip member was read to its end, with
 * matching CRC-32 and length, and every byte reached the disk. A file of
 * several members unpacks to their concatenation; bytes after the last member
 * that do not start another one are ignored. A source that is not gzip data
 * at all is passed through unchanged (the caller's MD5 check of the result
 * decides about it).
 */
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnzipFunc(const QString &sourcePath, const QString &destinationPath);

    /// Returns unzipFile() of the paths, the placement and the mode.
    bool run() override;

    /**
     * Decompresses @p sourcePath into @p destinationPath (note the order:
     * destination first), as a staged file that takes the destination's name
     * only when it is complete, has @p mode and is synced. With CreateOnly an
     * existing destination, be it a file, a directory or a symbolic link, is
     * refused and left as it is; with Replace it is replaced in one step. Any
     * failure (an unreadable or missing source, corrupt or truncated data, a
     * short or failed write, a failed sync) leaves no new file behind.
     * Returns whether the complete file was put in place.
     */
    static bool unzipFile(const QString &destinationPath, const QString &sourcePath,
                          StagedFile::Placement placement = StagedFile::CreateOnly,
                          mode_t mode = StagedFile::KeepMode);
};

#endif // FILEUNZIPFUNC_H
