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
