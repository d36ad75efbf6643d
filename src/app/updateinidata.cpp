#include "app/updateinidata.h"

#include "app/configuration.h"
#include "app/sessionmarker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Group[] = "current";
const char InstalledGroup[] = "installed";
// Set once this installation has installed a release whose product ini was bound.
const char BoundKey[] = "bound_release";

} // namespace

QString UpdateIniData::filename()
{
    return Configuration::getSettingsFilePath();
}

bool UpdateIniData::get(int *version, QString *type, QString *dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(Group));
    bool ok = false;
    const int recordedVersion = settings.value(QStringLiteral("version")).toInt(&ok);
    const QString recordedDir = settings.value(QStringLiteral("dir")).toString();
    const QString recordedType = settings.value(QStringLiteral("type")).toString();
    if (!ok || recordedType.isEmpty() || recordedDir.isEmpty() || !isSessionDirectory(recordedDir))
        return false;
    // A record copied with the installation names the original's session: it is neither reused
    // nor emptied here.
    if (SessionMarker::owner(recordedDir, SessionMarker::identity(Configuration::getAppRootPath()))
        == SessionMarker::OtherInstallation)
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    return true;
}

bool UpdateIniData::lockFileCleared()
{
    // Only the holder of the installation's run lock writes update.ini, so a lock file of the
    // settings library found here belongs to a save that is over; one that cannot be removed
    // (the directory refuses deletions) would make the next save wait for ever.
    const QByteArray lock = QFile::encodeName(filename() + QLatin1String(".lock"));
    struct stat info;
    if (::lstat(lock.constData(), &info) != 0 && errno == ENOENT)
        return true;
    return ::unlink(lock.constData()) == 0 || errno == ENOENT;
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(Group));
    if (settings.value(QStringLiteral("version")).toString() == QString::number(version)
        && settings.value(QStringLiteral("dir")).toString() == dir
        && settings.value(QStringLiteral("type")).toString() == type)
        return true;
    if (!lockFileCleared())
        return false;
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::cleanup()
{
    if (!lockFileCleared())
        return false;
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(QLatin1String(Group));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::finishRun(const QString &type, int version, bool bound)
{
    QSettings settings(filename(), QSettings::IniFormat);
    const bool sessionRecorded = settings.childGroups().contains(QLatin1String(Group));
    settings.beginGroup(QLatin1String(InstalledGroup));
    // Once set, the binding requirement stays: an attacker must not be able to lift it by
    // getting an unbound release installed some other way.
    const bool boundBefore = settings.value(QLatin1String(BoundKey)).toBool();
    const bool installedRecorded = settings.value(QStringLiteral("type")).toString() == type
        && settings.value(QStringLiteral("version")).toString() == QString::number(version)
        && (boundBefore || !bound);
    settings.endGroup();
    if (!sessionRecorded && installedRecorded)
        return true;
    if (!lockFileCleared())
        return false;
    settings.remove(QLatin1String(Group));
    settings.beginGroup(QLatin1String(InstalledGroup));
    settings.setValue(QStringLiteral("type"), type);
    settings.setValue(QStringLiteral("version"), version);
    if (bound || boundBefore)
        settings.setValue(QLatin1String(BoundKey), true);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::boundReleaseInstalled()
{
    QSettings settings(filename(), QSettings::IniFormat);
    return settings
        .value(QLatin1String(InstalledGroup) + QLatin1Char('/') + QLatin1String(BoundKey))
        .toBool();
}

bool UpdateIniData::installedVersion(const QString &type, int *version)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(InstalledGroup));
    bool ok = false;
    const int recorded = settings.value(QStringLiteral("version")).toInt(&ok);
    if (!ok || settings.value(QStringLiteral("type")).toString() != type)
        return false;
    if (version)
        *version = recorded;
    return true;
}

bool UpdateIniData::isSessionDirectory(const QString &dir)
{
    // The engine empties and removes the path as recorded: "/tmp/link/../varnolt_temp_1" would
    // look like a session here once cleaned, and be another place through the link.
    if (dir != QDir::cleanPath(dir))
        return false;
    const QFileInfo info(dir);
    if (info.isSymLink() || !info.isDir() || info.ownerId() != ::geteuid())
        return false;
    // Exactly the names createTempDir() makes, nothing that merely starts like them.
    static const QRegularExpression sessionName(
        QLatin1Char('^') + QRegularExpression::escape(Configuration::getTempDirPrefix())
        + QLatin1String("[0-9]+$"));
    if (!sessionName.match(info.fileName()).hasMatch())
        return false;
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    return !parent.isEmpty() && parent == QFileInfo(QDir::tempPath()).canonicalFilePath();
}
