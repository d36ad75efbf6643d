#include "releasemirror.h"

#include "downloadsupport.h"
#include "testsupport.h"

ReleaseMirror::ReleaseMirror(const QString &type, int version,
                             const QMap<QString, QByteArray> &files, const QStringList &releaseArgs)
    : mirror(std::make_unique<TestHttpMirror>()), version(version)
{
    QTemporaryDir client;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeTreeFile(client.path(), it.key(), it.value());
    complaint = publishRelease(client.path(), root.path(), type, version, releaseArgs);
    mirror->setRootPath(root.path());
}

QString ReleaseMirror::path(const QString &relative) const
{
    return QStringLiteral("/%1/%2").arg(version).arg(relative);
}

QByteArray ReleaseMirror::mirrorsIni(int retries) const
{
    return mirrorsIniText({{QStringLiteral("local"), mirror->baseUrl(), QString::number(retries)}});
}

UpdateSite::UpdateSite()
{
    mirror.setRootPath(mirrorRoot.path());
    installation.writeMirrorsIni(mirror.baseUrl());
}
