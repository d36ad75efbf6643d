#include "download/optionaldownloadtaskspecification.h"

#include "download/downloadtaskspecification.h"

#include <QFile>

OptionalDownloadTaskSpecification::OptionalDownloadTaskSpecification(
    QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
    const QString &localPath, qint64 sizeLimit, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      manager(manager),
      mirrors(mirrors),
      remotePath(remotePath),
      localPath(localPath),
      sizeLimit(sizeLimit)
{
}

void OptionalDownloadTaskSpecification::execute()
{
    clearSubTasks();
    auto *download
        = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath, -1, this, 1.0);
    download->setUnknownSizeLimit(sizeLimit);
    download->setMissingIsAnswer(true);
    addSubTask(download);
    executeSubTasks();
}

void OptionalDownloadTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}

void OptionalDownloadTaskSpecification::connectSignals(TaskSpecification *subTask)
{
    ComposedTaskSpecification::connectSignals(subTask);
    disconnect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::message);
}

void OptionalDownloadTaskSpecification::subtasksDone()
{
    const TaskState outcome = getStateFromSubTasks();
    if (outcome == UserCanceled) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    // Whatever a failed attempt left is not the file.
    if (outcome != Finished)
        QFile::remove(localPath);
    finish();
}
