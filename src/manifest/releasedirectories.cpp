#include "manifest/releasedirectories.h"

#include <QSettings>

namespace {

const QString EmptyKey = QStringLiteral("directories_empty");
const QString DroppedKey = QStringLiteral("directories_dropped");
const QString Separator = QStringLiteral("::");

QStringList split(const QString &value)
{
    return value.isEmpty() ? QStringList() : value.split(Separator);
}

} // namespace

ReleaseDirectories ReleaseDirectories::read(QSettings &settings)
{
    ReleaseDirectories directories;
    directories.empty = split(settings.value(EmptyKey).toString());
    directories.dropped = split(settings.value(DroppedKey).toString());
    return directories;
}

void ReleaseDirectories::write(QSettings &settings) const
{
    if (!empty.isEmpty())
        settings.setValue(EmptyKey, empty.join(Separator));
    if (!dropped.isEmpty())
        settings.setValue(DroppedKey, dropped.join(Separator));
}
