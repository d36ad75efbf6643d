#include "app/sessionmarker.h"

#include "app/runlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Magic[] = "varnolt-session 1\n";

} // namespace

QString SessionMarker::fileName()
{
    return QStringLiteral("varnolt::session");
}

QByteArray SessionMarker::identity(const QString &root)
{
    const QString canonical = QFileInfo(root).canonicalFilePath();
    struct stat lock;
    if (canonical.isEmpty()
        || ::lstat(QFile::encodeName(QDir(canonical).filePath(RunLock::fileName())).constData(),
                   &lock)
            != 0
        || !S_ISREG(lock.st_mode))
        return QByteArray();
    return Magic + QByteArray("lock ") + QByteArray::number(quint64(lock.st_dev)) + ' '
        + QByteArray::number(quint64(lock.st_ino)) + "\nroot " + QFile::encodeName(canonical)
        + '\n';
}

bool SessionMarker::write(const QString &dir, const QByteArray &identity, QString *problem)
{
    if (identity.isEmpty())
        return true;
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + fileName());
    const int fd
        = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    ssize_t written = -1;
    if (fd >= 0) {
        // One write: a kill leaves the whole marker or an empty file (Unfinished); a short
        // write is a failure, and a part of a marker never reads as this installation's.
        do {
            written = ::write(fd, identity.constData(), size_t(identity.size()));
        } while (written < 0 && errno == EINTR);
        if (written >= 0 && written != identity.size())
            errno = ENOSPC;
    }
    const int reason = errno;
    if (fd >= 0)
        ::close(fd);
    if (written == identity.size())
        return true;
    *problem = QString::fromLocal8Bit(std::strerror(reason));
    return false;
}

SessionMarker::Owner SessionMarker::ownerAt(int dirFd, const QByteArray &identity)
{
    const int fd = ::openat(dirFd, QFile::encodeName(fileName()).constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? Unmarked : OtherInstallation;
    struct stat info;
    QByteArray content;
    bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
        && info.st_size <= MaxBytes;
    if (usable) {
        content.resize(qsizetype(info.st_size));
        ssize_t got;
        do {
            got = ::pread(fd, content.data(), size_t(content.size()), 0);
        } while (got < 0 && errno == EINTR);
        usable = got == content.size();
    }
    ::close(fd);
    if (!usable)
        return OtherInstallation;
    if (content.isEmpty())
        return Unfinished;
    return !identity.isEmpty() && content == identity ? ThisInstallation : OtherInstallation;
}

SessionMarker::Owner SessionMarker::owner(const QString &dir, const QByteArray &identity)
{
    const int fd = ::open(QFile::encodeName(dir).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Unmarked;
    const Owner found = ownerAt(fd, identity);
    ::close(fd);
    return found;
}
