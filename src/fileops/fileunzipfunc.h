#ifndef FILEUNZIPFUNC_H
#define FILEUNZIPFUNC_H

#include "fileops/slowfileopfunc.h"

/**
 * @class FileUnzipFunc
 * @brief Decompresses a gzip file into the destination on a pool thread.
 *
 * Streams through one 16384-byte buffer; a file is never held in memory as a
 * whole. Succeeds only when the whole gzip stream was read, its checksum and
 * length matched, and every byte reached the disk. A source that is not in
 * gzip format at all is passed through unchanged (the caller's MD5 check of
 * the result decides about it).
 */
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnzipFunc(const QString &sourcePath, const QString &destinationPath);

    /// Returns unzipFile(destinationPath, sourcePath).
    bool run() override;

    /**
     * Decompresses @p sourcePath into a new file @p destinationPath (note the
     * order: destination first). Refuses to open an existing destination, be
     * it a file, a directory or a symbolic link, and leaves it as it is.
     * Once the destination has been created, any failure deletes it again:
     * an unreadable or missing source, corrupt or truncated data, a short or
     * failed write, a failed flush. Returns whether a complete file was
     * written.
     */
    bool unzipFile(const QString &destinationPath, const QString &sourcePath);
};

#endif // FILEUNZIPFUNC_H
