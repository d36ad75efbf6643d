#include "fileops/dirremovetaskspecification.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

DirRemoveTaskSpecification::DirRemoveTaskSpecification(const QString &dirPath, QObject *parent,
                                                       double parentProgressRange)
    : FastFileOpTaskSpecification(dirPath, nullptr, parent, parentProgressRange)
{
}

bool DirRemoveTaskSpecification::doOp()
{
    const QByteArray path = QFile::encodeName(fileName);
    struct stat info;
    // Gone already, or something else stands there now: nothing of the release to remove.
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return true;
    if (::rmdir(path.constData()) == 0)
        return true;
    if (errno == ENOTEMPTY || errno == EEXIST)
        emit message(tr("kept the directory '%1': it is no longer part of the client but holds "
                        "files")
                         .arg(fileName));
    else
        emit message(tr("warning: could not remove the directory '%1'").arg(fileName));
    return true;
}
