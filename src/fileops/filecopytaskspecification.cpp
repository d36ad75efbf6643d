#include "fileops/filecopytaskspecification.h"

#include "fileops/filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &sourcePath,
                                                     const QString &destinationPath,
                                                     QObject *parent, double parentProgressRange)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(sourcePath, destinationPath),
                              rollbackList, sourcePath, destinationPath, parent,
                              parentProgressRange)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunction()
{
    return configured(new FileCopyFunc(sourcePath, destinationPath));
}
