#include "fileops/filerenametaskspecification.h"

#include "fileops/rollbackdatalist.h"
#include "fileops/stagedfile.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace {

bool linkAside(const QString &from, const QString &to)
{
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (StagedFile::linkRefused(errno))
        return RollbackData::renameFile(from, to);
    return false;
}

} // namespace

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &from, const QString &to,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange, Method method)
    : FastFileOpTaskSpecification(to, rollbackList, parent, parentProgressRange),
      sourceName(from),
      method(method)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const RollbackData record(RollbackData::Rename, sourceName, fileName);
    if (!announceRollbackOp(record))
        return false;
    const bool done = method == LinkAside ? linkAside(sourceName, fileName)
                                          : RollbackData::renameFile(sourceName, fileName);
    if (done) {
        addRollbackOp(record);
        return true;
    }
    emit message(tr("Could not rename '%1' to '%2'").arg(sourceName, fileName));
    return false;
}
