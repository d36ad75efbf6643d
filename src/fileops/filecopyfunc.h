#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "fileops/slowfileopfunc.h"

/**
 * @class FileCopyFunc
 * @brief Copies the source to the destination on a pool thread.
 *
 * The copy gets the source's permission bits unless @c mode says otherwise.
 * Fails if the destination exists and @c placement is CreateOnly (it is left
 * untouched), if the source cannot be read completely, or if the copy cannot
 * be written and synced completely (disk full included). The copy is staged
 * (see StagedFile) and takes the destination's name only when it is
 * complete, so a failure leaves no partial file behind.
 *
 * Where the source and the destination share a file system, the source file
 * itself takes the destination's name (a hard link, placed like a staged
 * file, after the mode is set and the content synced) instead of a copy: the
 * source is a verified download, which is never written again and whose own
 * name goes with the session. Its mode changes with the link.
 */
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString &sourcePath, const QString &destinationPath);

    bool run() override;
};

#endif // FILECOPYFUNC_H
