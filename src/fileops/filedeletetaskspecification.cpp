#include "fileops/filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool reportFailure,
                                                         const QString &fileToDelete,
                                                         QObject *parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(fileToDelete, nullptr, parent, parentProgressRange),
      reportFailure(reportFailure)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool deleted = QFile::remove(fileName);
    if (!reportFailure)
        return true;
    if (!deleted) {
        emit message(tr("Could not delete '%1'").arg(fileName));
        return false;
    }
    return true;
}
