#include "fileops/dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &dirPath,
                                                       RollbackDataList *rollbackList,
                                                       QObject *parent, double parentProgressRange)
    : FastFileOpTaskSpecification(dirPath, rollbackList, parent, parentProgressRange)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(fileName);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString &rawPath)
{
    // A trailing separator or a "." element would otherwise make the last
    // path element empty and the single-level creation below fail, or record
    // a path whose removal names the wrong directory.
    const QString path = QDir::cleanPath(rawPath);
    const QFileInfo info(path);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            tr("Could not create dir '%1' because it already exists and is not a dir").arg(path));
        return false;
    }

    const QString parentPath = info.path();
    if (parentPath == QLatin1String(".") || QDir(path).isRoot()) {
        emit message(tr("Could not create dir %1").arg(fileName));
        return false;
    }
    if (!QFileInfo::exists(parentPath) && !tryCreateDir(parentPath))
        return false;

    const RollbackData record(RollbackData::CreateDir, path);
    if (!announceRollbackOp(record))
        return false;
    if (QDir(parentPath).mkdir(info.fileName())) {
        addRollbackOp(record);
        return true;
    }
    emit message(tr("unable to create dir %1").arg(path));
    return false;
}
