#include "fileops/slowfileopspecification.h"

#include "fileops/rollbackdatalist.h"
#include "fileops/slowfileopfunc.h"

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

void SlowFileOpSpecification::execute()
{
    if (rollbackList && placement == StagedFile::CreateOnly
        && !rollbackList->announce(RollbackData(RollbackData::CreateFile, destinationPath))) {
        emit message(tr("Could not write the installation journal"));
        failRun();
        return;
    }
    ASyncTaskSpecification::execute();
}

ASyncFunc *SlowFileOpSpecification::configured(SlowFileOpFunc *func) const
{
    func->placement = placement;
    func->mode = mode;
    return func;
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    else if (rollbackList && placement == StagedFile::CreateOnly)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destinationPath));
    ASyncTaskSpecification::runDone(ok);
}
