#include "manifest/installedrelease.h"

#include "manifest/releasedirectories.h"

#include <QSettings>

InstalledRelease InstalledRelease::read(const QString &iniPath)
{
    InstalledRelease release;
    QSettings settings(iniPath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return release;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        if (section == QLatin1String("delete"))
            continue;
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            // MD5::SIZE, or MD5::SIZE::UNZIPMD5::UNZIPSIZE::UNZIPPATH for a file stored
            // compressed, which is installed at UNZIPPATH.
            const QStringList parts = settings.value(key).toString().split(QLatin1String("::"));
            release.files.append(parts.size() == 5 ? parts.at(4) : key);
        }
        settings.endGroup();
    }
    release.emptyDirectories = ReleaseDirectories::read(settings).empty;
    return release;
}
