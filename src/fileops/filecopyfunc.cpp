#include "fileops/filecopyfunc.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &sourcePath, const QString &destinationPath)
    : SlowFileOpFunc(sourcePath, destinationPath)
{
}

bool FileCopyFunc::run()
{
    // QFile::copy writes to a temporary file in the destination's directory,
    // checks every block and the final flush, and renames the result without
    // replacing anything; on failure the temporary file is removed.
    return QFile::copy(sourcePath, destinationPath);
}
