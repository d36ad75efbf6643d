#include "download/downloadfiletaskspecification.h"

#include "app/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringList>
#include <QUrl>

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
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    if (!isSafeFilePath(download.filePath)) {
        emit message(tr("invalid file path %1").arg(download.filePath));
        errorCancel();
        return;
    }

    auto *fetch = new DownloadTaskSpecification(manager, mirrors, remotePath(), localPath(),
                                                qint64(download.size), this, DownloadShare);
    // A size of 0 reads as "unknown" to the download and would leave the body unbounded; one
    // byte is enough to tell a wrong body apart, and the check rejects it.
    if (download.size == 0)
        fetch->setUnknownSizeLimit(1);
    downloadTask = fetch;
    addSubTask(fetch);

    auto *check
        = new CheckSignatureTaskSpecification(localPath(), download.md5, false, this, CheckShare);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    // The download does not say which mirror served it, so the delivering reply is recognised
    // by its URL among the replies the shared manager finishes. The pool only loses mirrors,
    // so whichever mirror the download gets is among those it holds now.
    candidates = mirrors->mirrorList();
    deliveringMirror.clear();
    connect(manager, &QNetworkAccessManager::finished, this,
            &DownloadFileTaskSpecification::onReplyFinished, Qt::UniqueConnection);

    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onReplyFinished(QNetworkReply *reply)
{
    // Only a reply the download can have accepted: abandoned and failed attempts end with an
    // error or another status. The last accepted one before the check is the delivering one.
    if (reply->error() != QNetworkReply::NoError)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200)
        return;
    const QString path = remotePath();
    for (const FTPSiteAccessData &candidate : std::as_const(candidates)) {
        if (reply->url() == QUrl(candidate.url + QLatin1Char('/') + path)) {
            deliveringMirror = candidate.name;
            return;
        }
    }
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    stopWatchingReplies();
    if (pass)
        return;

    // Unknown only if the manager never announced the reply; retrying could then fetch from
    // the same bad mirror without end.
    if (deliveringMirror.isEmpty()) {
        emit message(tr("md5 sum for %1 failed, mirror unknown").arg(download.filePath));
        errorCancel();
        return;
    }
    mirrors->removeMirror(deliveringMirror);

    if (cancelRequested) {
        // A new attempt would clear the request, and finishing would pass the wrong file on.
        // The check has read the file to its end, so it can go.
        QFile::remove(localPath());
        userCancel();
        return;
    }

    emit message(
        tr("md5 sum for %1 failed, invalidating mirror and retrying").arg(download.filePath));
    // The reset disconnects the reporting check, so its own ending reaches nobody.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::subtasksDone()
{
    stopWatchingReplies();
    ComposedTaskSpecification::subtasksDone();
}

void DownloadFileTaskSpecification::stopWatchingReplies()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &DownloadFileTaskSpecification::onReplyFinished);
}

void DownloadFileTaskSpecification::reset()
{
    stopWatchingReplies();
    // Discarding alone would not give a running download's mirror slot back, and the downloads
    // waiting for a slot would wait for it in vain.
    if (downloadTask && allSubTasks.contains(downloadTask.data()))
        downloadTask->reset();
    clearSubTasks();
    TaskSpecification::reset();
}
