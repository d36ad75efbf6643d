#include "fileops/stagedfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// File systems that cannot sync a file (or a directory) say EINVAL; there is
// nothing more to wait for on them.
bool synced(int result)
{
    return result == 0 || errno == EINVAL;
}

} // namespace

bool StagedFile::syncData(int fd)
{
    return synced(::fdatasync(fd));
}

bool StagedFile::linkRefused(int error)
{
    return error == EXDEV || error == EPERM || error == EMLINK || error == EOPNOTSUPP
        || error == ENOSYS || error == EACCES;
}

mode_t StagedFile::newFileMode()
{
    // umask() can only be read by setting it, which would race with other threads creating
    // files; the kernel shows it here instead.
    static const mode_t mask = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("Umask:"))
                    return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
            }
        }
        return mode_t(022);
    }();
    return 0666 & ~mask;
}

StagedFile::StagedFile(const QString &destinationPath)
    : destination(QFile::encodeName(destinationPath)),
      temporary(QFile::encodeName(temporaryName(destinationPath)))
{
    const QByteArray directory = QFile::encodeName(QFileInfo(destinationPath).absolutePath());
    // 0666 as for any new file: the process's umask applies, as it would for
    // a file created by name.
    fd = ::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return;
    fd = ::open(temporary.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
    named = fd >= 0;
}

StagedFile::~StagedFile()
{
    discard();
}

void StagedFile::discard()
{
    if (fd < 0)
        return;
    ::close(fd);
    fd = -1;
    if (named)
        ::unlink(temporary.constData());
}

namespace {

// Gives an open file a first or further name through its /proc entry, which
// needs no privileges (AT_EMPTY_PATH would) and names the very file that was
// written and synced, whatever its old name has come to mean meanwhile.
bool linkOpenFile(int fd, const QByteArray &name)
{
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, procPath, AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

bool StagedFile::placeOpenFile(int fd, const QString &destinationPath, Placement placement)
{
    const QByteArray destination = QFile::encodeName(destinationPath);
    // link() never replaces anything, a link to nothing included.
    if (placement == CreateOnly)
        return linkOpenFile(fd, destination);
    // rename() is the only way to take a name that is in use without a moment
    // in which it is missing; it needs a name to rename from. The temporary
    // name belongs to this destination alone: whatever holds it is left over
    // from an interrupted replacement.
    const QByteArray temporary = QFile::encodeName(temporaryName(destinationPath));
    ::unlink(temporary.constData());
    if (!linkOpenFile(fd, temporary))
        return false;
    if (::rename(temporary.constData(), destination.constData()) == 0)
        return true;
    const int error = errno;
    ::unlink(temporary.constData());
    errno = error;
    return false;
}

bool StagedFile::commit(mode_t mode, Placement placement)
{
    if (fd < 0)
        return false;
    // The mode first: a file that appears under its real name is complete in
    // every respect, an executable is never seen without its execute bits.
    if ((mode != KeepMode && ::fchmod(fd, mode) != 0) || !syncData(fd)) {
        discard();
        return false;
    }

    bool placed;
    if (!named)
        placed = placeOpenFile(fd, QFile::decodeName(destination), placement);
    else if (placement == CreateOnly)
        placed = ::link(temporary.constData(), destination.constData()) == 0;
    else
        placed = ::rename(temporary.constData(), destination.constData()) == 0;
    if (!placed) {
        discard();
        return false;
    }
    // The temporary name is gone now (renamed, or only ever used as the
    // source of a link, which the unlink below removes).
    if (named && placement == CreateOnly)
        ::unlink(temporary.constData());
    named = false;
    ::close(fd);
    fd = -1;
    return true;
}

QString StagedFile::temporaryName(const QString &destination)
{
    const QFileInfo info(destination);
    return info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".varnolt-new");
}

bool StagedFile::writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool StagedFile::syncDirectory(const QString &path)
{
    const int dirFd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const bool ok = synced(::fsync(dirFd));
    ::close(dirFd);
    return ok;
}
