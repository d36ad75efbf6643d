#include "releasemetadatawriter.h"

#include "gzipbytes.h"

#include "manifest/sha256.h"

#include <QDir>
#include <QFile>
#include <QStringList>

const QString ReleaseMetadataWriter::GzipSuffix = QStringLiteral(".gz");

ReleaseMetadataWriter::ReleaseMetadataWriter(const QString &versionDir, const QString &clientType)
    : versionDir(versionDir), clientType(clientType)
{
}

QString ReleaseMetadataWriter::sideFileName(const QString &clientType)
{
    return clientType + QLatin1String(".hashes");
}

QString ReleaseMetadataWriter::digestsFileName(const QString &clientType)
{
    return clientType + QLatin1String(".digests");
}

QStringList ReleaseMetadataWriter::outputPaths() const
{
    const QDir dir(versionDir);
    const QString ini = dir.filePath(clientType + QLatin1String(".ini"));
    const QString digests = dir.filePath(digestsFileName(clientType));
    return {dir.filePath(sideFileName(clientType)), digests, digests + GzipSuffix,
            ini + GzipSuffix};
}

QByteArray ReleaseMetadataWriter::listFileOf(const QByteArray &lines)
{
    return SideFile::Header + '\n' + lines + '\n';
}

QByteArray ReleaseMetadataWriter::digestsFileOf(const SideFile &sideFile,
                                                const QHash<QString, SideFile::ListBinding> &lists)
{
    SideFile digestsOnly;
    digestsOnly.sha256 = sideFile.sha256;
    QByteArray data = digestsOnly.serialize();
    QStringList paths = lists.keys();
    paths.sort();
    for (const QString &path : qAsConst(paths)) {
        const SideFile::ListBinding &list = lists.value(path);
        data += SideFile::listLine(path, list.sha256, list.size) + '\n';
    }
    return data;
}

bool ReleaseMetadataWriter::write(const SideFile &sideFile,
                                  const QHash<QString, QByteArray> &listLines,
                                  ReleaseBinding *binding)
{
    const QByteArray side = sideFile.serialize();
    if (!writeFile(QDir(versionDir).filePath(sideFileName(clientType)), side, false))
        return false;
    QHash<QString, SideFile::ListBinding> lists;
    for (auto it = listLines.cbegin(); it != listLines.cend(); ++it) {
        const QByteArray list = listFileOf(it.value());
        if (!writeFile(QDir(versionDir).filePath(SideFile::listPathOf(it.key())), list, true))
            return false;
        lists.insert(it.key(), {Sha256::hash(list), list.size()});
    }
    const QByteArray digests = digestsFileOf(sideFile, lists);
    if (!writeFile(QDir(versionDir).filePath(digestsFileName(clientType)), digests, true))
        return false;
    binding->sideFile = sideFileName(clientType);
    binding->sideFileSha256 = Sha256::hash(side);
    binding->sideFileSize = side.size();
    binding->digestsFile = digestsFileName(clientType);
    binding->digestsFileSha256 = Sha256::hash(digests);
    binding->digestsFileSize = digests.size();
    return true;
}

bool ReleaseMetadataWriter::writeGzipOf(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read back %1: %2").arg(path, in.errorString());
        return false;
    }
    const QByteArray packed = GzipBytes::compress(in.readAll());
    if (packed.isEmpty()) {
        error = QStringLiteral("zlib cannot compress %1").arg(path);
        return false;
    }
    return writeFile(path + GzipSuffix, packed, false);
}

bool ReleaseMetadataWriter::writeFile(const QString &path, const QByteArray &data, bool gzip)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size()
        || !out.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    if (!gzip)
        return true;
    const QByteArray packed = GzipBytes::compress(data);
    if (packed.isEmpty()) {
        error = QStringLiteral("zlib cannot compress %1").arg(path);
        return false;
    }
    return writeFile(path + GzipSuffix, packed, false);
}
