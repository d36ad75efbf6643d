#include "manifest/strongdigests.h"

#include "fileops/sessionfile.h"
#include "manifest/sidefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>

bool StrongDigests::attach(QList<FileDownloadSpecification> &downloads, QString *problem,
                           QStringList *notes)
{
    if (path.isEmpty() || (downloads.isEmpty() && reused.isEmpty()))
        return true;
    QHash<QString, QByteArray> wanted;
    for (const FileDownloadSpecification &download : qAsConst(downloads))
        wanted.insert(SideFile::pathOf(download.section, download.filePath), QByteArray());
    for (const Reused &copy : qAsConst(reused))
        wanted.insert(SideFile::pathOf(copy.download.section, copy.download.filePath),
                      QByteArray());
    QFile file;
    QString unusable;
    QByteArray data;
    if (!SessionFile::openForReading(file, path)) {
        unusable = file.errorString();
    } else {
        data = file.readAll();
        SideFile::lookUp(data, &wanted, &unusable);
    }
    if (!unusable.isEmpty()) {
        *problem = QCoreApplication::translate("MakeDownloadReplaceListFunc",
                                               "side file %1 is unusable: %2")
                       .arg(path, unusable);
        return false;
    }
    if (listsApart) {
        attachListBindings(downloads, data, notes);
    } else {
        data = QByteArray();
        // Read again a line at a time: the lists of large files make up most of the side file.
        if (file.seek(0))
            attachBlockLines(downloads, &file);
    }
    const auto take = [&wanted, problem](FileDownloadSpecification &download) {
        download.sha256 = wanted.value(SideFile::pathOf(download.section, download.filePath));
        if (!download.sha256.isEmpty())
            return true;
        // The signed ini pins the side file; a stored file it does not cover could only be
        // checked by its MD5, which the release promised not to rely on.
        *problem = QCoreApplication::translate("MakeDownloadReplaceListFunc",
                                               "side file has no SHA-256 for %1 in section %2")
                       .arg(download.filePath, download.section);
        return false;
    };
    for (FileDownloadSpecification &download : downloads) {
        if (!take(download))
            return false;
    }
    // From the last one back, so that the places of the earlier ones stay where they were.
    for (auto it = reused.rbegin(); it != reused.rend(); ++it) {
        if (!take(it->download))
            return false;
        if (it->sha256 != it->download.sha256)
            downloads.insert(it->position, std::move(it->download));
    }
    reused = {};
    return true;
}

bool StrongDigests::isSegmented(const FileDownloadSpecification &download) const
{
    return !download.unpacked && segmentFrom > 0 && download.size >= quint64(segmentFrom);
}

bool StrongDigests::wantsList(const FileDownloadSpecification &download) const
{
    // A file with an installed older version is put together from its blocks; a large one
    // stored as it is comes in segments, each block checked as it arrives.
    return !download.installedPath.isEmpty() || isSegmented(download);
}

void StrongDigests::attachListBindings(QList<FileDownloadSpecification> &downloads,
                                       const QByteArray &digests, QStringList *notes) const
{
    QHash<QString, SideFile::ListBinding> wanted;
    for (const FileDownloadSpecification &download : qAsConst(downloads)) {
        if (wantsList(download))
            wanted.insert(SideFile::pathOf(download.section, download.filePath), {});
    }
    QString problem;
    if (!wanted.isEmpty() && !SideFile::lookUpLists(digests, &wanted, &problem)) {
        // The file is pinned by the signed ini, so this is the publisher's fault; the files are
        // fetched whole rather than not at all.
        notes->append(QCoreApplication::translate("MakeDownloadReplaceListFunc",
                                                  "the block lists of %1 are unusable: %2")
                          .arg(path, problem));
        wanted.clear();
    }
    for (FileDownloadSpecification &download : downloads) {
        if (!wantsList(download))
            continue;
        const SideFile::ListBinding binding
            = wanted.value(SideFile::pathOf(download.section, download.filePath));
        download.listSha256 = binding.sha256;
        download.listSize = binding.size;
        // Without a list the installed file is of no use.
        if (download.listSha256.isEmpty())
            download.installedPath.clear();
    }
}

void StrongDigests::attachBlockLines(QList<FileDownloadSpecification> &downloads,
                                     QIODevice *sideFile) const
{
    QHash<QString, SideFile::FileLines> wanted;
    for (const FileDownloadSpecification &download : qAsConst(downloads)) {
        if (wantsList(download))
            wanted.insert(SideFile::pathOf(download.section, download.filePath), {});
    }
    if (!wanted.isEmpty())
        SideFile::lookUpFileLines(sideFile, &wanted);
    for (FileDownloadSpecification &download : downloads) {
        if (download.installedPath.isEmpty() && !isSegmented(download))
            continue;
        SideFile::FileLines lines
            = wanted.take(SideFile::pathOf(download.section, download.filePath));
        download.blockLine = std::move(lines.blocks);
        if (download.installedPath.isEmpty())
            continue;
        if (download.unpacked) {
            download.pointsLine = std::move(lines.points);
            download.unpackedSha256 = lines.unpackedSha256;
        }
        // Without a list the installed file is of no use; nor for a compressed file without
        // its access points and the digest of what they give.
        if (download.blockLine.isEmpty()
            || (download.unpacked
                && (download.pointsLine.isEmpty() || download.unpackedSha256.isEmpty()))) {
            download.installedPath.clear();
            if (!isSegmented(download))
                download.blockLine.clear();
            download.pointsLine.clear();
        }
    }
}
