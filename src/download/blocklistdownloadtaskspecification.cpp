#include "download/blocklistdownloadtaskspecification.h"

#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "fileops/sessionfile.h"
#include "manifest/sha256.h"

#include <QFile>

BlockListDownloadTaskSpecification::BlockListDownloadTaskSpecification(
    QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
    const QString &localPath, const QByteArray &sha256, qint64 size, QObject *parent,
    double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      manager(manager),
      mirrors(mirrors),
      remotePath(remotePath),
      localPath(localPath),
      sha256(sha256),
      size(size)
{
}

bool BlockListDownloadTaskSpecification::holdsList(const QString &path, const QByteArray &sha256,
                                                   qint64 size)
{
    QFile file;
    if (!SessionFile::openForReading(file, path) || file.size() != size)
        return false;
    // Read whole: a list is small beside the file it describes, and its size was just checked.
    return Sha256::hash(file.readAll()) == sha256;
}

void BlockListDownloadTaskSpecification::execute()
{
    failed.clear();
    startAttempt();
}

void BlockListDownloadTaskSpecification::startAttempt()
{
    clearSubTasks();
    auto *fetch
        = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath, size, this, 1.0);
    fetch->setCompressedFirst(true);
    fetch->setWithSha256(true);
    fetch->setAttemptLimit(MaxFailedMirrors - int(failed.size()), failed);
    download = fetch;
    addSubTask(fetch);
    executeSubTasks();
}

void BlockListDownloadTaskSpecification::reset()
{
    // Discarding alone would not give a running download's mirror slot back.
    if (download && allSubTasks.contains(download.data()))
        download->reset();
    clearSubTasks();
    TaskSpecification::reset();
}

void BlockListDownloadTaskSpecification::connectSignals(TaskSpecification *subTask)
{
    ComposedTaskSpecification::connectSignals(subTask);
    disconnect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::message);
}

void BlockListDownloadTaskSpecification::subtasksDone()
{
    const TaskState outcome = getStateFromSubTasks();
    if (outcome == UserCanceled) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    bool got = false;
    if (outcome == Finished && download) {
        // The size is the download's own bound; the digest is the binding's.
        got = download->fileSha256() == sha256;
        if (!got) {
            const QString mirror = download->servingMirrorName();
            emit message(tr("Block list %1 from %2 does not match its digests file")
                             .arg(remotePath, mirror));
            mirrors->addMirrorError(mirror);
            failed.insert(mirror);
            if (failed.size() < MaxFailedMirrors && mirrors->hasMirrorBesides(failed)) {
                startAttempt();
                return;
            }
        }
    }
    if (!got)
        QFile::remove(localPath);
    emit listDone(got);
    finish();
}
