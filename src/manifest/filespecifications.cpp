#include "manifest/filespecifications.h"

#include "app/configuration.h"

#include <QFileInfo>

QString FileReplaceSpecification::destFileName(const QString &prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString dir = info.path();
    const QString name = prefix + info.fileName();
    return dir == QLatin1String(".") ? name : dir + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}
