#include "fileops/rollbackdata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <sys/stat.h>
#include <unistd.h>

RollbackData::RollbackData(Operation operation, const QString &path)
    : path(path), operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString &from, const QString &to)
    : path(to), previousPath(from), operation(operation)
{
}

bool RollbackData::rollback(QObject *reporter) const
{
    switch (operation) {
    case Rename:
        // The old copy goes back over whatever took the name meanwhile, in
        // one rename(): the name is never missing, and a link there is
        // replaced, never written through.
        if (restoreOldCopy(path, previousPath))
            return true;
        // Both arguments in one arg() call: a path may itself contain "%2".
        message(reporter,
                QCoreApplication::translate("QObject", "warning: rollback rename %1 to %2 failed")
                    .arg(previousPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(reporter,
                QCoreApplication::translate("QObject", "warning: rollback create file %1 failed")
                    .arg(path));
        return false;
    case CreateDir: {
        // A single-level removal, which refuses a directory that still holds
        // anything: whatever else was put there is not this record's to delete.
        const QFileInfo info(path);
        if (QDir(info.path()).rmdir(info.fileName()))
            return true;
        message(reporter,
                QCoreApplication::translate("QObject", "warning: rollback create dir %1 failed")
                    .arg(path));
        return false;
    }
    }
    qFatal("Should not reach here");
    return false;
}

bool RollbackData::restoreOldCopy(const QString &oldCopy, const QString &name)
{
    const QByteArray from = QFile::encodeName(oldCopy);
    const QByteArray to = QFile::encodeName(name);
    struct stat copyInfo;
    if (::lstat(from.constData(), &copyInfo) != 0)
        return false;
    // Still two names of one file (nothing replaced it yet): rename() would
    // do nothing at all, so the second name is simply dropped.
    struct stat nameInfo;
    if (::lstat(to.constData(), &nameInfo) == 0 && nameInfo.st_dev == copyInfo.st_dev
        && nameInfo.st_ino == copyInfo.st_ino)
        return ::unlink(from.constData()) == 0;
    return ::rename(from.constData(), to.constData()) == 0;
}

bool RollbackData::renameFile(const QString &from, const QString &to)
{
    const QFileInfo target(to);
    if (target.exists() || target.isSymLink())
        return false;
    return QFile::rename(from, to);
}

void RollbackData::message(QObject *reporter, const QString &text)
{
    if (!reporter)
        return;
    QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text));
}
