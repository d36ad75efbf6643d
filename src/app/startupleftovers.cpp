#include "app/startupleftovers.h"

#include "app/configuration.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

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

int StartupLeftovers::removeOrphanedSessions(const QString &tempPath, const QString &recordedDir)
{
    const QRegularExpression sessionName(
        QLatin1Char('^') + QRegularExpression::escape(Configuration::getTempDirPrefix())
        + QLatin1String("[0-9]+$"));
    const QDir directory(tempPath);
    const QString recorded = QDir::cleanPath(recordedDir);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int removed = 0;
    const QStringList names
        = directory.entryList({Configuration::getTempDirPrefix() + QLatin1Char('*')},
                              QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = directory.filePath(name);
        if (!sessionName.match(name).hasMatch() || QDir::cleanPath(path) == recorded)
            continue;
        const QByteArray encoded = QFile::encodeName(path);
        struct stat info;
        if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode)
            || info.st_uid != ::geteuid() || now - qint64(info.st_mtime) < OrphanAgeSeconds)
            continue;
        // Fails on a directory with anything in it: files of a session are never removed here.
        if (::rmdir(encoded.constData()) == 0)
            ++removed;
    }
    return removed;
}
