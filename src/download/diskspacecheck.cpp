#include "download/diskspacecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

struct Room
{
    bool known = false;
    dev_t device = 0;
    quint64 blockSize = 4096;
    quint64 freeBytes = 0;
};

Room roomOf(const QString &directory)
{
    Room room;
    const QByteArray path = QFile::encodeName(directory);
    struct stat info;
    struct statvfs fs;
    if (::stat(path.constData(), &info) != 0 || ::statvfs(path.constData(), &fs) != 0)
        return room;
    room.known = true;
    room.device = info.st_dev;
    room.blockSize = fs.f_frsize > 0 ? fs.f_frsize : 4096;
    // Root may use the blocks the file system keeps back from everybody else.
    const quint64 blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    room.freeBytes = blocks * room.blockSize;
    return room;
}

quint64 inBlocks(quint64 bytes, quint64 blockSize)
{
    return (bytes + blockSize - 1) / blockSize * blockSize;
}

// The size of the regular file at path, 0 when there is none.
quint64 sizeOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return quint64(info.st_size);
}

QString message(const QString &directory, quint64 needed, quint64 available)
{
    return QCoreApplication::translate("QObject",
                                       "Not enough disk space in %1 to store the update: %2 KB "
                                       "needed, %3 KB free")
        .arg(QDir::toNativeSeparators(directory))
        .arg((needed + 999) / 1000)
        .arg(available / 1000);
}

} // namespace

QString DiskSpaceCheck::shortage(const QList<FileDownloadSpecification> &downloads,
                                 const QList<FileReplaceSpecification> &replacements,
                                 const QString &sessionDir, const QString &installDir)
{
    const Room session = roomOf(sessionDir);
    const Room installation = roomOf(installDir);
    const bool oneFileSystem
        = session.known && installation.known && session.device == installation.device;

    quint64 sessionNeed = 0;
    QHash<QString, quint64> downloadSizes;
    for (const FileDownloadSpecification &file : downloads) {
        const quint64 kept = sizeOf(sessionDir + QLatin1Char('/') + file.filePath);
        // A kept file that is not shorter is fetched anew, whole.
        const quint64 missing = kept < file.size ? file.size - kept : file.size;
        sessionNeed += inBlocks(missing, session.blockSize);
        downloadSizes.insert(file.filePath, file.size);
    }

    quint64 installNeed = 0;
    for (const FileReplaceSpecification &file : replacements) {
        if (file.hasUnzip()) {
            installNeed += inBlocks(file.unzipSize, installation.blockSize);
        } else if (!oneFileSystem) {
            const QString sessionPath = sessionDir + QLatin1Char('/') + file.filePath;
            const quint64 size = downloadSizes.value(file.filePath, sizeOf(sessionPath));
            installNeed += inBlocks(size, installation.blockSize);
        }
    }

    if (oneFileSystem) {
        if (sessionNeed + installNeed > session.freeBytes)
            return message(sessionNeed > 0 ? sessionDir : installDir, sessionNeed + installNeed,
                           session.freeBytes);
        return QString();
    }
    if (session.known && sessionNeed > session.freeBytes)
        return message(sessionDir, sessionNeed, session.freeBytes);
    if (installation.known && installNeed > installation.freeBytes)
        return message(installDir, installNeed, installation.freeBytes);
    return QString();
}
