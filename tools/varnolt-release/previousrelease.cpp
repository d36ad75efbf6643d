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
