#include "previousrelease.h"

#include <QFileInfo>
#include <QSettings>

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString PartSeparator = QStringLiteral("::");

// Whether path is one of the new files or a directory above one.
bool isNeeded(const QString &path, const QSet<QString> &newFiles)
{
    if (newFiles.contains(path))
        return true;
    const QString asDirectory = path + QLatin1Char('/');
    for (const QString &file : newFiles) {
        if (file.startsWith(asDirectory))
            return true;
    }
    return false;
}

// Adds every directory above path to directories.
void addParents(const QString &path, QSet<QString> *directories)
{
    for (qsizetype slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = path.lastIndexOf(QLatin1Char('/'), slash - 1))
        directories->insert(path.left(slash));
}

} // namespace

bool PreviousRelease::read(const QString &iniPath, QString *problem)
{
    installed.clear();
    deleted.clear();
    if (!QFileInfo(iniPath).isFile()) {
        *problem = QStringLiteral("no release at %1").arg(iniPath);
        return false;
    }
    // Read as the updater reads it: what it installed is what its entries name.
    QSettings settings(iniPath, QSettings::IniFormat);
    directories = ReleaseDirectories::read(settings);
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            if (section == DeleteSection) {
                deleted.append(key);
                continue;
            }
            const QStringList parts = settings.value(key).toString().split(PartSeparator);
            const bool unpacked = parts.size() == 5 && !parts.at(4).isEmpty();
            installed.append(unpacked ? parts.at(4) : key);
        }
        settings.endGroup();
    }
    if (installed.isEmpty()) {
        *problem = QStringLiteral("%1 lists no files").arg(iniPath);
        return false;
    }
    return true;
}

QStringList PreviousRelease::stalePaths(const QSet<QString> &newFiles) const
{
    QSet<QString> stale;
    for (const QStringList *paths : {&installed, &deleted}) {
        for (const QString &path : *paths) {
            if (!isNeeded(path, newFiles))
                stale.insert(path);
        }
    }
    QStringList sorted(stale.cbegin(), stale.cend());
    sorted.sort();
    return sorted;
}

QStringList PreviousRelease::droppedDirectories(const QSet<QString> &newFiles,
                                                const QStringList &newEmptyDirectories) const
{
    // A directory that became a file is not one to remove either.
    QSet<QString> kept = newFiles;
    kept.unite(QSet<QString>(newEmptyDirectories.cbegin(), newEmptyDirectories.cend()));
    for (const QString &path : newFiles)
        addParents(path, &kept);
    for (const QString &path : newEmptyDirectories)
        addParents(path, &kept);
    QSet<QString> had(directories.dropped.cbegin(), directories.dropped.cend());
    had.unite(QSet<QString>(directories.empty.cbegin(), directories.empty.cend()));
    for (const QString &path : directories.empty)
        addParents(path, &had);
    for (const QString &path : installed)
        addParents(path, &had);
    had.subtract(kept);
    QStringList sorted(had.cbegin(), had.cend());
    sorted.sort();
    return sorted;
}
