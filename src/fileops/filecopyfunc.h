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
 */
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString &sourcePath, const QString &destinationPath);

    bool run() override;
};

#endif // FILECOPYFUNC_H
