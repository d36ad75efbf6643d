#include "manifest/releasedirectories.h"

#include <QSettings>

const QString ReleaseDirectories::EmptyKey = QStringLiteral("directories_empty");
const QString ReleaseDirectories::DroppedKey = QStringLiteral("directories_dropped");

namespace {

const QString Separator = QStringLiteral("::");

QStringList split(const QString &value)
{
    return value.isEmpty() ? QStringList() : value.split(Separator);
}

} // namespace

ReleaseDirectories ReleaseDirectories::read(QSettings &settings)
{
    return fromValues(settings.value(EmptyKey).toString(), settings.value(DroppedKey).toString());
}

ReleaseDirectories ReleaseDirectories::fromValues(const QString &empty, const QString &dropped)
{
    ReleaseDirectories directories;
    directories.empty = split(empty);
    directories.dropped = split(dropped);
    return directories;
}

void ReleaseDirectories::write(QSettings &settings) const
{
    if (!empty.isEmpty())
        settings.setValue(EmptyKey, empty.join(Separator));
    if (!dropped.isEmpty())
        settings.setValue(DroppedKey, dropped.join(Separator));
}
