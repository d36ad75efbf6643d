#include "fileops/filerenametaskspecification.h"

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &from, const QString &to,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(to, rollbackList, parent, parentProgressRange), sourceName(from)
{
}

bool FileRenameTaskSpecification::doOp()
{
    if (RollbackData::renameFile(sourceName, fileName)) {
        addRollbackOp(RollbackData(RollbackData::Rename, sourceName, fileName));
        return true;
    }
    emit message(tr("Could not rename '%1' to '%2'").arg(sourceName, fileName));
    return false;
}
