#include "app/runlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

RunLock::RunLock(const QString &root) : lockPath(QDir(root).filePath(fileName())) { }

RunLock::~RunLock()
{
    if (fd >= 0)
        ::close(fd);
}

QString RunLock::fileName()
{
    return QStringLiteral("update.lock");
}

RunLock::Outcome RunLock::tryAcquire()
{
    if (fd >= 0)
        return Acquired;
    error.clear();
    // Private to the installation's owner: a user who could open it could also hold it for
    // ever and stop every update. Read-only is enough for flock. O_NONBLOCK: a FIFO planted
    // under the name must not block the open.
    const QByteArray encoded = QFile::encodeName(lockPath);
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int opened = ::open(encoded.constData(), flags | O_CREAT | O_EXCL, 0600);
    if (opened >= 0 && ::geteuid() == 0) {
        // Made by root (a nightly service, say): it belongs to whoever owns the installation, or
        // that user's own updater could never open it again.
        struct stat directory;
        if (::stat(QFile::encodeName(QFileInfo(lockPath).absolutePath()).constData(), &directory)
            == 0)
            (void)::fchown(opened, directory.st_uid, directory.st_gid);
    }
    if (opened < 0 && errno == EEXIST)
        opened = ::open(encoded.constData(), flags);
    struct stat info;
    if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(opened);
        error = QCoreApplication::translate("QObject", "The lock file %1 is not a regular file")
                    .arg(QDir::toNativeSeparators(lockPath));
        return Failed;
    }
    int result;
    do {
        result = ::flock(opened, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int reason = errno;
        ::close(opened);
        if (reason == EWOULDBLOCK)
            return HeldElsewhere;
        error = QCoreApplication::translate("QObject", "Cannot lock %1: %2")
                    .arg(QDir::toNativeSeparators(lockPath),
                         QString::fromLocal8Bit(std::strerror(reason)));
        return Failed;
    }
    fd = opened;
    return Acquired;
}
