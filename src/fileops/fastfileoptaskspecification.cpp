#include "fileops/fastfileoptaskspecification.h"

#include "fileops/rollbackdatalist.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &fileName,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange), rollbackList(rollbackList), fileName(fileName)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = Running;
    if (doOp())
        finish();
    else
        errorCancel();
}

bool FastFileOpTaskSpecification::announceRollbackOp(const RollbackData &record)
{
    if (!rollbackList || rollbackList->announce(record))
        return true;
    emit message(tr("Could not write the installation journal"));
    return false;
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData &record)
{
    if (rollbackList)
        rollbackList->add(record);
}
