#include "download/downloadfiletaskspecification.h"

#include "app/configuration.h"
#include "download/blocklistdownloadtaskspecification.h"
#include "download/deltadownloadtaskspecification.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "download/segmenteddownloadtaskspecification.h"
#include "fileops/sessionfile.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/sidefile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QStringList>

#include <limits>
#include <utility>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
    const FileDownloadSpecification &download, QNetworkAccessManager *manager, Mirrors *mirrors,
    Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      download(download),
      manager(manager),
      mirrors(mirrors),
      configuration(configuration)
{
}

QString DownloadFileTaskSpecification::remotePath() const
{
    return download.section + QLatin1Char('/') + download.filePath;
}

QString DownloadFileTaskSpecification::localPath() const
{
    return configuration->tempDir + QLatin1Char('/') + download.filePath;
}

bool DownloadFileTaskSpecification::isSafeFilePath(const QString &filePath)
{
    if (filePath.isEmpty() || QDir::isAbsolutePath(filePath))
        return false;
    const QStringList parts = filePath.split(QLatin1Char('/'));
    if (parts.contains(QLatin1String("..")))
        return false;
    return !parts.last().isEmpty() && parts.last() != QLatin1String(".");
}

void DownloadFileTaskSpecification::execute()
{
    deltaTried = false;
    segmentsTried = false;
    splitNow = false;
    listTried = false;
    makeSubtasksAndStart(true);
}

bool DownloadFileTaskSpecification::usesDelta() const
{
    // A file stored compressed is put together unpacked, which needs the stored file's access
    // points and the unpacked content's digests.
    return !deltaTried && !download.blockLine.isEmpty() && !download.installedPath.isEmpty()
        && (!download.unpacked
            || (!download.pointsLine.isEmpty() && !download.unpackedMd5.isEmpty()
                && !download.unpackedSha256.isEmpty() && download.size > 0));
}

QString DownloadFileTaskSpecification::unpackedPath() const
{
    return localPath() + QLatin1String(FileDownloadSpecification::UnpackedSuffix);
}

QString DownloadFileTaskSpecification::listPath() const
{
    return localPath() + QLatin1String(SideFile::ListSuffix);
}

bool DownloadFileTaskSpecification::needsList(bool resumable, qint64 size) const
{
    if (listTried || download.listSha256.isEmpty() || !download.blockLine.isEmpty())
        return false;
    // As usesDelta() once the list has brought the block line and, for a file stored
    // compressed, the access points and the unpacked content's SHA-256.
    const bool delta = !deltaTried && !download.installedPath.isEmpty()
        && (!download.unpacked || (!download.unpackedMd5.isEmpty() && download.size > 0));
    return delta || (resumable && !download.unpacked && usesSegments(size));
}

bool DownloadFileTaskSpecification::readList()
{
    QFile file;
    if (!SessionFile::openForReading(file, listPath()))
        return false;
    const QString path = SideFile::pathOf(download.section, download.filePath);
    QHash<QString, SideFile::FileLines> wanted {{path, {}}};
    SideFile::lookUpFileLines(&file, &wanted);
    SideFile::FileLines lines = wanted.take(path);
    download.blockLine = std::move(lines.blocks);
    if (download.unpacked) {
        download.pointsLine = std::move(lines.points);
        download.unpackedSha256 = lines.unpackedSha256;
    }
    return !download.blockLine.isEmpty();
}

bool DownloadFileTaskSpecification::usesSegments(qint64 size) const
{
    if (segmentsTried || configuration->segmentFrom <= 0 || size < configuration->segmentFrom)
        return false;
    // An earlier run's segments are continued even from a single mirror.
    if (QFile::exists(SegmentedDownloadTaskSpecification::controlPath(localPath())))
        return true;
    return splittable() && (splitNow || configuration->segmentPace <= 0);
}

bool DownloadFileTaskSpecification::splittable() const
{
    const QVector<FTPSiteAccessData> &known = mirrors->mirrorList();
    return std::count_if(known.cbegin(), known.cend(),
                         [](const FTPSiteAccessData &mirror) {
                             return mirror.ranges != FTPSiteAccessData::NoRanges;
                         })
        > 1;
}

void DownloadFileTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                             quint64 &speed, bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    if (!mayStillSplit || !downloadTask || state != Running || cancelRequested
        || !allSubTasks.contains(downloadTask.data()) || downloadTask->state != Running) {
        slowTicks = 0;
        return;
    }
    // Only ticks of a transfer that has begun to deliver count: one waiting for a slot or for
    // its first byte is not slow (the stall rule sees to one that never delivers).
    const bool delivering = downloading && doneBefore > 0;
    doneBefore = downloadDone;
    if (!delivering || qint64(speed) >= configuration->segmentPace) {
        slowTicks = 0;
        return;
    }
    if (++slowTicks < SlowTicksBeforeSplit || !splittable())
        return;
    emit message(
        tr("%1 comes slowly, fetching it from every mirror at once").arg(download.filePath));
    const QString sender = downloadTask->handOver();
    splitNow = true;
    reset();
    makeSubtasksAndStart(true, sender);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart(bool resumable, const QString &keptFrom)
{
    // Those of an earlier attempt are gone or going: they must not be taken for this one's.
    downloadTask = nullptr;
    deltaTask = nullptr;
    segmentTask = nullptr;
    listTask = nullptr;
    mayStillSplit = false;
    slowTicks = 0;
    doneBefore = 0;
    if (!isSafeFilePath(download.filePath)) {
        emit message(tr("invalid file path %1").arg(download.filePath));
        errorCancel();
        return;
    }

    // A size of 0 is also what a size that is not a number reads as: the manifest then sets no
    // bound, and the MD5 check alone decides whether the file is right.
    const qint64 expectedSize
        = download.size > 0 && download.size <= quint64(std::numeric_limits<qint64>::max())
        ? qint64(download.size)
        : -1;
    // A compressed file's content put together by an earlier attempt or session would be
    // installed in place of the download.
    if (download.unpacked)
        QFile::remove(unpackedPath());

    // The check after the fetch, which takes the digests the fetch computed as it wrote the
    // file instead of reading it again. It starts only after the fetch has finished.
    const auto addFetchAndCheck
        = [this](auto *fetch, const QString &path, const QString &md5, const QByteArray &sha256) {
              addSubTask(fetch);
              auto *check = new CheckSignatureTaskSpecification(path, md5, false, this, CheckShare);
              check->setExpectedSha256(sha256);
              connect(check, &CheckSignatureTaskSpecification::checkDone, this,
                      &DownloadFileTaskSpecification::onSigCheckDone);
              connect(fetch, &TaskSpecification::finished, check, [fetch, check] {
                  check->setKnownDigest(fetch->fileDigest());
                  check->setKnownSha256(fetch->fileSha256());
              });
              addSubTask(check);
              state = Running;
              executeSubTasks();
          };

    if (needsList(resumable, expectedSize)) {
        listResumable = resumable;
        listKeptFrom = keptFrom;
        // One kept from an earlier run of the session is taken as it is.
        if (BlockListDownloadTaskSpecification::holdsList(listPath(), download.listSha256,
                                                          download.listSize)) {
            listTried = true;
            if (!readList())
                emit message(tr("%1: its block list cannot be had; fetching the file without it")
                                 .arg(download.filePath));
        } else {
            auto *list = new BlockListDownloadTaskSpecification(
                manager, mirrors, SideFile::listPathOf(remotePath()), listPath(),
                download.listSha256, download.listSize, this, 0.0);
            connect(list, &BlockListDownloadTaskSpecification::listDone, this,
                    &DownloadFileTaskSpecification::onListDone);
            listTask = list;
            addSubTask(list);
            state = Running;
            executeSubTasks();
            return;
        }
    }

    if (usesDelta()) {
        // What the delta makes and the check judges: the stored file, or the unpacked content
        // of a compressed one, which is then installed without the unpack step.
        const QString made = download.unpacked ? unpackedPath() : localPath();
        // Only the delta reads the list, once; this task falls back to the whole file anyway.
        auto *delta = new DeltaDownloadTaskSpecification(
            manager, mirrors, remotePath(), made, download.installedPath,
            std::exchange(download.blockLine, QByteArray()), this, DownloadShare);
        if (download.unpacked)
            delta->setPacked(std::exchange(download.pointsLine, QByteArray()), expectedSize);
        delta->setScanPool(digestPool);
        connect(delta, &DeltaDownloadTaskSpecification::deltaFailed, this,
                &DownloadFileTaskSpecification::onDeltaFailed);
        deltaTask = delta;
        addFetchAndCheck(delta, made, download.unpacked ? download.unpackedMd5 : download.md5,
                         download.unpacked ? download.unpackedSha256 : download.sha256);
        return;
    }

    const QString segmentLines = SegmentedDownloadTaskSpecification::controlPath(localPath());
    if (resumable && usesSegments(expectedSize)) {
        auto *segments = new SegmentedDownloadTaskSpecification(
            manager, mirrors, remotePath(), localPath(), expectedSize, this, DownloadShare);
        // The list describes the stored bytes only when they are what is installed.
        if (!download.unpacked)
            segments->setBlockLine(download.blockLine);
        segments->setMinimumSplit(configuration->segmentMinimum);
        segments->setDigestPool(digestPool);
        segments->setKeptFrom(keptFrom);
        segments->setStartWriteBack(!download.unpacked);
        segments->setWithSha256(!download.sha256.isEmpty());
        connect(segments, &SegmentedDownloadTaskSpecification::wholeFileNeeded, this,
                &DownloadFileTaskSpecification::onWholeFileNeeded);
        segmentTask = segments;
        addFetchAndCheck(segments, localPath(), download.md5, download.sha256);
        return;
    }
    // A file with holes would be taken for the first bytes of the whole download.
    if (QFile::remove(segmentLines))
        QFile::remove(localPath());

    auto *fetch = new DownloadTaskSpecification(manager, mirrors, remotePath(), localPath(),
                                                expectedSize, this, DownloadShare);
    fetch->setResumable(resumable);
    mayStillSplit = resumable && !segmentsTried && configuration->segmentFrom > 0
        && expectedSize >= configuration->segmentFrom;
    fetch->setDigestPool(digestPool);
    // A compressed download is only read again, to be unpacked: writing it to disk early would
    // take the disk from the files that are installed.
    fetch->setStartWriteBack(!download.unpacked);
    fetch->setWithSha256(!download.sha256.isEmpty());
    downloadTask = fetch;
    addFetchAndCheck(fetch, localPath(), download.md5, download.sha256);
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    if (pass)
        return;

    if (deltaTask) {
        QFile::remove(download.unpacked ? unpackedPath() : localPath());
        if (cancelRequested) {
            userCancel();
            return;
        }
        fetchWhole(tr("the file put together failed its check"));
        return;
    }

    // Bytes from two answers, possibly two mirrors or two runs: no one mirror can be blamed
    // for the mix, so the file is fetched whole before anyone is charged.
    const bool pieced = segmentTask ? segmentTask->wasResumed() : downloadTask->wasResumed();
    // The check runs right after the download finished, so the download still knows its mirror.
    if (!pieced)
        mirrors->removeMirror(segmentTask ? segmentTask->servingMirrorName()
                                          : downloadTask->servingMirrorName());

    if (cancelRequested) {
        // A new attempt would clear the request, and finishing would pass the wrong file on.
        // The check has read the file to its end, so it can go.
        QFile::remove(localPath());
        userCancel();
        return;
    }

    if (pieced) {
        emit message(tr("md5 sum for %1 failed on a resumed download, fetching it whole")
                         .arg(download.filePath));
        // Whole means whole: a break in this attempt starts it over rather than piecing again,
        // so that a wrong digest then has a single mirror to blame.
        QFile::remove(localPath());
        reset();
        makeSubtasksAndStart(false);
        return;
    }
    emit message(
        tr("md5 sum for %1 failed, invalidating mirror and retrying").arg(download.filePath));
    // The reset disconnects the reporting check, so its own ending reaches nobody.
    reset();
    makeSubtasksAndStart(true);
}

void DownloadFileTaskSpecification::onDeltaFailed(const QString &reason)
{
    if (cancelRequested) {
        reset();
        userCancel();
        return;
    }
    fetchWhole(reason);
}

void DownloadFileTaskSpecification::onWholeFileNeeded(const QString &reason)
{
    if (cancelRequested) {
        reset();
        userCancel();
        return;
    }
    emit message(tr("%1: fetching the rest whole (%2)").arg(download.filePath, reason));
    segmentsTried = true;
    reset();
    makeSubtasksAndStart(true);
}

void DownloadFileTaskSpecification::onListDone(bool got)
{
    listTried = true;
    if (cancelRequested) {
        reset();
        userCancel();
        return;
    }
    if (!got || !readList())
        emit message(tr("%1: its block list cannot be had; fetching the file without it")
                         .arg(download.filePath));
    const QString keptFrom = listKeptFrom;
    reset();
    makeSubtasksAndStart(listResumable, keptFrom);
}

void DownloadFileTaskSpecification::fetchWhole(const QString &reason)
{
    emit message(tr("%1: fetching the whole file (%2)").arg(download.filePath, reason));
    deltaTried = true;
    QFile::remove(download.unpacked ? unpackedPath() : localPath());
    reset();
    makeSubtasksAndStart(true);
}

void DownloadFileTaskSpecification::reset()
{
    // Discarding alone would not give a running download's mirror slot back, and the downloads
    // waiting for a slot would wait for it in vain.
    if (downloadTask && allSubTasks.contains(downloadTask.data()))
        downloadTask->reset();
    if (deltaTask && allSubTasks.contains(deltaTask.data()))
        deltaTask->reset();
    if (segmentTask && allSubTasks.contains(segmentTask.data()))
        segmentTask->reset();
    if (listTask && allSubTasks.contains(listTask.data()))
        listTask->reset();
    clearSubTasks();
    TaskSpecification::reset();
}
