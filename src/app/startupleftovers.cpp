#include "app/startupleftovers.h"

#include "app/configuration.h"
#include "app/sessionmarker.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A directory below dirFd, opened without following a link at its name.
int openDirectoryAt(int dirFd, const char *name)
{
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in the directory open as dirFd, other than "." and "..".
QList<QByteArray> namesAt(int dirFd)
{
    QList<QByteArray> names;
    // fdopendir() takes the descriptor over; the caller keeps its own.
    const int own = ::dup(dirFd);
    DIR *dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        if (own >= 0)
            ::close(own);
        return names;
    }
    ::rewinddir(dir);
    while (const struct dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    ::closedir(dir);
    return names;
}

bool isOnlyEmptyMarker(int dirFd)
{
    const QList<QByteArray> names = namesAt(dirFd);
    struct stat marker;
    return names.size() == 1 && names.first() == QFile::encodeName(SessionMarker::fileName())
        && ::fstatat(dirFd, names.first().constData(), &marker, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(marker.st_mode) && marker.st_size == 0;
}

} // namespace

int StartupLeftovers::removeSettingsTemporaries(const QString &settingsPath)
{
    const QFileInfo settings(settingsPath);
    const QDir directory = settings.absoluteDir();
    // The name the settings library saves through: a temporary file of six random letters or
    // digits after the name, renamed over it when complete. (Its lock file is UpdateIniData's.)
    const QRegularExpression temporary(QLatin1Char('^')
                                       + QRegularExpression::escape(settings.fileName())
                                       + QLatin1String("\\.[A-Za-z0-9]{6}$"));
    int removed = 0;
    const QStringList names
        = directory.entryList({settings.fileName() + QLatin1String(".*")},
                              QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (temporary.match(name).hasMatch()
            && ::unlink(QFile::encodeName(directory.filePath(name)).constData()) == 0)
            ++removed;
    }
    return removed;
}

bool StartupLeftovers::emptyDirectoryAt(int dirFd, int depth)
{
    // Removing while reading a directory may hide entries from the reading: read again until a
    // reading finds nothing left to remove.
    for (;;) {
        const QList<QByteArray> names = namesAt(dirFd);
        if (names.isEmpty())
            return true;
        bool removedAny = false;
        for (const QByteArray &name : names) {
            // Removes a file or a link itself, never what a link points at.
            if (::unlinkat(dirFd, name.constData(), 0) == 0) {
                removedAny = true;
                continue;
            }
            if ((errno != EISDIR && errno != EPERM) || depth <= 0)
                continue;
            const int sub = openDirectoryAt(dirFd, name.constData());
            if (sub < 0)
                continue;
            emptyDirectoryAt(sub, depth - 1);
            ::close(sub);
            if (::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0)
                removedAny = true;
        }
        if (!removedAny)
            return false;
    }
}

int StartupLeftovers::removeOrphanedSessions(const QString &tempPath, const QString &recordedDir,
                                             const QByteArray &identity)
{
    const QRegularExpression sessionName(
        QLatin1Char('^') + QRegularExpression::escape(Configuration::getTempDirPrefix())
        + QLatin1String("[0-9]+$"));
    const QDir directory(tempPath);
    const QString recorded = QDir::cleanPath(recordedDir);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const int tempFd
        = ::open(QFile::encodeName(tempPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tempFd < 0)
        return 0;
    // By identity as well as by name: the record and the temporary directory may name one place
    // by different paths, and the recorded session must never go.
    struct stat recordedInfo;
    const bool recordedExists = !recordedDir.isEmpty()
        && ::stat(QFile::encodeName(recordedDir).constData(), &recordedInfo) == 0;
    int removed = 0;
    const QStringList names
        = directory.entryList({Configuration::getTempDirPrefix() + QLatin1Char('*')},
                              QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!sessionName.match(name).hasMatch()
            || QDir::cleanPath(directory.filePath(name)) == recorded)
            continue;
        const QByteArray encoded = QFile::encodeName(name);
        const int sessionFd = openDirectoryAt(tempFd, encoded.constData());
        if (sessionFd < 0)
            continue;
        struct stat info;
        if (::fstat(sessionFd, &info) != 0 || info.st_uid != ::geteuid()
            || (recordedExists && info.st_dev == recordedInfo.st_dev
                && info.st_ino == recordedInfo.st_ino)) {
            ::close(sessionFd);
            continue;
        }
        const bool old = now - qint64(info.st_mtime) >= OrphanAgeSeconds;
        bool emptied = false;
        switch (SessionMarker::ownerAt(sessionFd, identity)) {
        case SessionMarker::ThisInstallation:
            // Under the lock, not named by the record: the run that made it is over.
            emptied = emptyDirectoryAt(sessionFd);
            break;
        case SessionMarker::Unfinished:
            // Killed between making the marker and writing it: nothing more than an empty
            // directory, and as young as one, possibly another installation's about to be used.
            emptied = old && isOnlyEmptyMarker(sessionFd)
                && ::unlinkat(sessionFd, QFile::encodeName(SessionMarker::fileName()).constData(),
                              0)
                    == 0;
            break;
        case SessionMarker::Unmarked:
            emptied = old;
            break;
        case SessionMarker::OtherInstallation:
            break;
        }
        ::close(sessionFd);
        // Fails on a directory with anything in it: nothing unmarked is ever emptied here.
        if (emptied && ::unlinkat(tempFd, encoded.constData(), AT_REMOVEDIR) == 0)
            ++removed;
    }
    ::close(tempFd);
    return removed;
}
