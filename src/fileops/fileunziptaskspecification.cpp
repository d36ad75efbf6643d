#include "fileops/fileunziptaskspecification.h"

#include "fileops/fileunzipfunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList *rollbackList,
                                                       const QString &sourcePath,
                                                       const QString &destinationPath,
                                                       QObject *parent, double parentProgressRange)
    : SlowFileOpSpecification(tr("Could not unzip '%1' to '%2'").arg(sourcePath, destinationPath),
                              rollbackList, sourcePath, destinationPath, parent,
                              parentProgressRange)
{
}

ASyncFunc *FileUnzipTaskSpecification::createFunction()
{
    return configured(new FileUnzipFunc(sourcePath, destinationPath));
}
