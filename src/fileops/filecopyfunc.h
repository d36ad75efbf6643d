#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "fileops/slowfileopfunc.h"

/**
 * @class FileCopyFunc
 * @brief Copies the source to the destination on a pool thread.
 *
 * Fails if the destination exists (it is left untouched), if the source
 * cannot be read completely, or if the copy cannot be written completely
 * (disk full included). The copy is written under a temporary name beside
 * the destination and takes the destination's name only when it is
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
