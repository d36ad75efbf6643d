#include "fileops/slowfileopspecification.h"

#include "fileops/rollbackdatalist.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString &failureMessage,
                                                 RollbackDataList *rollbackList,
                                                 const QString &sourcePath,
                                                 const QString &destinationPath, QObject *parent,
                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      rollbackList(rollbackList),
      sourcePath(sourcePath),
      destinationPath(destinationPath),
      failureMessage(failureMessage)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    else if (rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destinationPath));
    ASyncTaskSpecification::runDone(ok);
}
