#include "fileops/slowfileopfunc.h"

#include "fileops/sessionfile.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &sourcePath, const QString &destinationPath)
    : sourcePath(sourcePath), destinationPath(destinationPath)
{
}

void SlowFileOpFunc::explainLocalFailure(int error)
{
    if (SessionFile::isDiskError(error))
        emit message(SessionFile::diskErrorMessage(destinationPath, error));
}
