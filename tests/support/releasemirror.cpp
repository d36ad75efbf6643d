#include "releasemirror.h"

#include "downloadsupport.h"
#include "testsupport.h"

#include <QDir>

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

UpdateSite::UpdateSite(const QString &updater) : installation(updater)
{
    mirror.setRootPath(mirrorRoot.path());
    installation.writeMirrorsIni(mirror.baseUrl());
}

QMap<QString, QByteArray> UpdateSite::clientFiles(const QString &root)
{
    return treeDigests(root,
                       {"update", "update.ini", "update.ini.lock", "update.lock", "update.state",
                        "update.release", "mirrors.ini"});
}

void UpdateSite::writeClient(const QString &root, int version)
{
    writeTreeFile(root, QStringLiteral("vl3client_runscript.sh"),
                  "#!/bin/sh\necho " + QByteArray::number(version) + "\n");
    writeTreeFile(root, QStringLiteral("data/version.txt"),
                  "version " + QByteArray::number(version));
    if (version >= 2)
        writeTreeFile(root, QStringLiteral("data/levels.dat"), levelsContent());
}

QByteArray UpdateSite::levelsContent()
{
    return pattern(300000, 'L');
}

QMap<QString, QByteArray> UpdateSite::expectedClient(int version)
{
    QTemporaryDir expected;
    writeClient(expected.path(), version);
    return clientFiles(expected.path());
}

QString UpdateSite::publishClient(int version, const QStringList &releaseArgs)
{
    QTemporaryDir source;
    writeClient(source.path(), version);
    return publishRelease(source.path(), mirrorRoot.path(), QStringLiteral("client_linux_amd64"),
                          version, releaseArgs);
}

QString UpdateSite::sessionFile(const QString &relative) const
{
    const QStringList sessions = QDir(tmp.path()).entryList({"varnolt_temp_*"}, QDir::Dirs);
    return sessions.size() == 1 ? tmp.filePath(sessions.first() + '/' + relative) : QString();
}
