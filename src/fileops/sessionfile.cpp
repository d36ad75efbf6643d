#include "fileops/sessionfile.h"

#include "fileops/stagedfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file that may be continued: nothing else shares it, and it is this user's own.
bool isContinuable(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

} // namespace

SessionFile::SessionFile(const QString &path) : path(path) { }

SessionFile::~SessionFile()
{
    close();
}

bool SessionFile::fail()
{
    lastError = errno;
    return false;
}

qint64 SessionFile::keptSize()
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0)
        return 0;
    if (isContinuable(info))
        return qint64(info.st_size);
    // Removing the name never touches what a link leads to.
    ::unlink(name.constData());
    return 0;
}

bool SessionFile::openToAppend(qint64 size)
{
    close();
    fd = ::open(QFile::encodeName(path).constData(),
                O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return fail();
    struct stat info;
    if (::fstat(fd, &info) != 0 || !isContinuable(info) || qint64(info.st_size) != size) {
        close();
        lastError = EINVAL;
        return false;
    }
    return true;
}

qint64 SessionFile::openToWrite()
{
    close();
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fail();
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !isContinuable(info)) {
        close();
        lastError = EINVAL;
        return -1;
    }
    return qint64(info.st_size);
}

bool SessionFile::create()
{
    close();
    const QByteArray name = QFile::encodeName(path);
    // A verified file of an earlier session may have been linked into the installation, which
    // then shares its inode: truncating it in place would change the installed file too. So the
    // name goes, and the file is made anew. Whether that worked, the exclusive creation tells.
    ::unlink(name.constData());
    fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd >= 0 || fail();
}

bool SessionFile::write(const char *data, qint64 size)
{
    errno = 0;
    if (StagedFile::writeAll(fd, data, size))
        return true;
    // A write that takes nothing and says nothing has run out of room.
    lastError = errno != 0 ? errno : ENOSPC;
    return false;
}

bool SessionFile::writeAt(qint64 offset, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(size), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A write that takes nothing and says nothing has run out of room.
            lastError = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

bool SessionFile::truncate()
{
    return ::ftruncate(fd, 0) == 0 || fail();
}

void SessionFile::close()
{
    if (fd < 0)
        return;
    ::close(fd);
    fd = -1;
}

void SessionFile::remove()
{
    close();
    ::unlink(QFile::encodeName(path).constData());
}

bool SessionFile::isDiskError(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EROFS || error == EIO || error == EFBIG;
}

QString SessionFile::diskErrorMessage(const QString &filePath, int error)
{
    const QFileInfo info(filePath);
    const QString directory = QDir::toNativeSeparators(info.absolutePath());
    if (error == ENOSPC || error == EDQUOT)
        return QCoreApplication::translate("QObject", "Not enough disk space in %1 to store %2")
            .arg(directory, info.fileName());
    return QCoreApplication::translate("QObject", "Could not write %1 in %2: %3")
        .arg(info.fileName(), directory, QString::fromLocal8Bit(std::strerror(error)));
}

int SessionFile::openReadOnly(const QString &filePath)
{
    const int fd = ::open(QFile::encodeName(filePath).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool SessionFile::openForReading(QFile &file, const QString &filePath)
{
    const int fd = openReadOnly(filePath);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
