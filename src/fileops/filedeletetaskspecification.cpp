#include "fileops/filedeletetaskspecification.h"

#include <QFile>
#include <QFileInfo>

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
    if (!reportFailure) {
        // Best effort, but not in silence: an obsolete file that stays is
        // worth a line in the log.
        if (!deleted && (QFileInfo::exists(fileName) || QFileInfo(fileName).isSymLink()))
            emit message(tr("warning: could not delete '%1'").arg(fileName));
        return true;
    }
    if (!deleted) {
        emit message(tr("Could not delete '%1'").arg(fileName));
        return false;
    }
    return true;
}
