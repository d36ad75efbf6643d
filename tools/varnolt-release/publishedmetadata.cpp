#include "publishedmetadata.h"

#include "gzipbytes.h"
#include "releasemetadatawriter.h"

#include "manifest/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Reads at most limit bytes of path and one more; false when it cannot be opened.
bool readBounded(const QString &path, qint64 limit, QByteArray *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *data = file.read(limit + 1);
    return true;
}

} // namespace

bool PublishedMetadata::listsOf(const QByteArray &digests,
                                QMap<QString, SideFile::ListBinding> *lists, QString *problem)
{
    SideFile files;
    if (!SideFile::parse(digests, &files, problem))
        return false;
    QHash<QString, SideFile::ListBinding> wanted;
    for (auto it = files.sha256.cbegin(); it != files.sha256.cend(); ++it)
        wanted.insert(it.key(), {});
    if (!SideFile::lookUpLists(digests, &wanted, problem))
        return false;
    lists->clear();
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        if (!it->sha256.isEmpty())
            lists->insert(SideFile::listPathOf(it.key()), it.value());
    }
    return true;
}

QString PublishedMetadata::mismatch(const QByteArray &data, const QByteArray &sha256, qint64 size)
{
    if (data.size() != size)
        return QStringLiteral("%1 bytes, %2 bound").arg(data.size()).arg(size);
    if (Sha256::hash(data) != sha256)
        return QStringLiteral("SHA-256 %1, %2 bound")
            .arg(QString::fromLatin1(Sha256::hash(data).toHex()),
                 QString::fromLatin1(sha256.toHex()));
    return QString();
}

QString PublishedMetadata::gzipMismatch(const QByteArray &packed, const QByteArray &sha256,
                                        qint64 size)
{
    QByteArray inflated;
    QString problem;
    if (!GzipBytes::inflate(packed, size, &inflated, &problem))
        return problem;
    const QString wrong = mismatch(inflated, sha256, size);
    return wrong.isEmpty() ? wrong : QStringLiteral("it inflates to other bytes (%1)").arg(wrong);
}

bool PublishedMetadata::checkBeside(const QString &iniPath, const QByteArray &ini,
                                    const ReleaseBinding &binding, QStringList *lines)
{
    const QDir dir = QFileInfo(iniPath).dir();
    bool good = true;
    // Checks the file at name against its binding and its gzip form, when there is one, against
    // its bytes; the bytes read into data.
    const auto check = [&](const QString &what, const QString &name, const QByteArray &sha256,
                           qint64 size, QByteArray *data, bool sayMatches = true) {
        const QString path = dir.filePath(name);
        if (!readBounded(path, size, data)) {
            lines->append(QStringLiteral("%1 %2 is missing").arg(what, path));
            good = false;
            return false;
        }
        const QString wrong = mismatch(*data, sha256, size);
        if (!wrong.isEmpty()) {
            lines->append(QStringLiteral("%1 %2 does NOT match: %3").arg(what, path, wrong));
            good = false;
            return false;
        }
        if (sayMatches)
            lines->append(QStringLiteral("%1 %2 matches").arg(what, path));
        return true;
    };
    const auto checkGzip = [&](const QString &name, const QByteArray &plain) {
        const QString path = dir.filePath(name + ReleaseMetadataWriter::GzipSuffix);
        QByteArray packed;
        // A gzip form is never much larger than its plain bytes: read no more than that.
        if (!readBounded(path, plain.size() + 1024, &packed)) {
            lines->append(
                QStringLiteral("note: %1 is missing (updaters fetch the plain file)").arg(path));
            return;
        }
        const QString wrong = gzipMismatch(packed, Sha256::hash(plain), plain.size());
        if (wrong.isEmpty())
            return;
        lines->append(QStringLiteral("gzip form %1 does NOT match: %2").arg(path, wrong));
        good = false;
    };

    checkGzip(QFileInfo(iniPath).fileName(), ini);
    QByteArray side;
    check(QStringLiteral("side file"), binding.sideFile, binding.sideFileSha256,
          binding.sideFileSize, &side);
    if (binding.digestsFile.isEmpty())
        return good;
    QByteArray digests;
    if (!check(QStringLiteral("digests file"), binding.digestsFile, binding.digestsFileSha256,
               binding.digestsFileSize, &digests))
        return false;
    checkGzip(binding.digestsFile, digests);
    QMap<QString, SideFile::ListBinding> lists;
    QString problem;
    if (!listsOf(digests, &lists, &problem)) {
        lines->append(QStringLiteral("digests file %1 is unreadable: %2")
                          .arg(dir.filePath(binding.digestsFile), problem));
        return false;
    }
    // Thousands of lists: only those that fail get a line of their own.
    int listsGood = 0;
    for (auto it = lists.cbegin(); it != lists.cend(); ++it) {
        QByteArray list;
        if (!check(QStringLiteral("list file"), it.key(), it->sha256, it->size, &list, false))
            continue;
        checkGzip(it.key(), list);
        ++listsGood;
    }
    lines->append(QStringLiteral("%1 of %2 list files match").arg(listsGood).arg(lists.size()));
    return good;
}
