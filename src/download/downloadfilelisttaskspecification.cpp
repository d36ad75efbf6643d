#include "download/downloadfilelisttaskspecification.h"

#include "app/configuration.h"
#include "download/diskspacecheck.h"
#include "download/downloadfiletaskspecification.h"
#include "download/mirrors.h"

#include <QDir>
#include <QSet>
#include <QThread>

#include <utility>

namespace {

// The directory part of a relative file path, "." for a file at the top.
QString directoryOf(const QString &filePath)
{
    const QString clean = QDir::cleanPath(filePath);
    const int slash = clean.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QStringLiteral(".") : clean.left(slash);
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification> *downloadList, QNetworkAccessManager *manager,
    Mirrors *mirrors, Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(qMax(1, configuration->streams), parentProgressRange, parent),
      downloadList(downloadList),
      manager(manager),
      mirrors(mirrors),
      configuration(configuration)
{
    // A thread for each transfer, so that no transfer's digest waits behind another's (a
    // finished file's digest holds up its next transfer).
    digestPool.setMaxThreadCount(qMax(QThread::idealThreadCount(), configuration->streams));
    // Streams of one connection to an HTTP/2 mirror cost it nothing more: unless the user set
    // the downloads at once, as many run as the mirrors have slots.
    if (!configuration->streamsGiven)
        connect(mirrors, &Mirrors::http2Found, this, [this] {
            int capacity = 0;
            int used = 0;
            this->mirrors->calcUseStats(capacity, used);
            raiseMaxParallel(capacity);
            digestPool.setMaxThreadCount(qMax(digestPool.maxThreadCount(), capacity));
        });
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (replaceList) {
        const QString shortage = DiskSpaceCheck::shortage(
            downloadList ? *downloadList : QList<FileDownloadSpecification>(), *replaceList,
            configuration->tempDir, Configuration::getAppRootPath());
        if (!shortage.isEmpty()) {
            emit error(shortage);
            errorCancel();
            return;
        }
    }
    if (!downloadList || downloadList->isEmpty()) {
        emit message(tr("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return; // already ended

    emit message(tr("Downloading files"));
    fileShare = 1.0 / double(downloadList->size());
    for (const FileDownloadSpecification &file : std::as_const(*downloadList))
        totalBytes += file.size;
    filesLeft = downloadList->size();
    state = Running;
    executeSubTasks();
}

TaskSpecification *DownloadFileListTaskSpecification::takeNextSubTask()
{
    FileDownloadSpecification &file = (*downloadList)[downloadList->size() - filesLeft];
    --filesLeft;
    auto *task
        = new DownloadFileTaskSpecification(file, manager, mirrors, configuration, this, fileShare);
    // The file's task holds the block list from now on, and lets go of it once read: the list of
    // a large file is megabytes.
    file.blockLine = QByteArray();
    task->setDigestPool(&digestPool);
    addSubTask(task);
    return ComposedTaskSpecification::takeNextSubTask();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    // All paths first: a list naming one unsafe path creates nothing at all.
    for (const FileDownloadSpecification &file : std::as_const(*downloadList)) {
        if (!DownloadFileTaskSpecification::isSafeFilePath(file.filePath)) {
            emit message(tr("invalid file path %1").arg(file.filePath));
            errorCancel();
            return false;
        }
    }

    // An empty tempDir would turn "tempDir/filePath" into a path below the root directory.
    const QString tempDir = configuration->tempDir;
    QSet<QString> handled {QStringLiteral(".")};
    for (const FileDownloadSpecification &file : std::as_const(*downloadList)) {
        const QString dir = directoryOf(file.filePath);
        if (handled.contains(dir))
            continue;
        if (tempDir.isEmpty() || !QDir(tempDir).mkpath(dir)) {
            emit message(tr("could not make dir %1")
                             .arg(QDir(tempDir).canonicalPath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        handled.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::connectSignals(TaskSpecification *subTask)
{
    ComposedTaskSpecification::connectSignals(subTask);
    // After the base class's own handling, which has already taken the task off the running
    // ones and ends this task if it was the last.
    connect(subTask, &TaskSpecification::canceled, this,
            &DownloadFileListTaskSpecification::onFileTaskCanceled);
    connect(subTask, &TaskSpecification::finished, this,
            &DownloadFileListTaskSpecification::onFileTaskFinished);
}

void DownloadFileListTaskSpecification::onFileTaskFinished(TaskSpecification *fileTask)
{
    // The base class has taken it off the running ones; a finished file needs nothing more
    // than its share of the progress (kept in the sum) and its bytes for the next tick.
    if (!doneSubTasks.contains(fileTask))
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    fileTask->timeTick(done, total, speed, downloading);
    if (total != 0)
        finishedBytes += done;
    finishedSpeed += speed;
    discardDoneSubTask(fileTask);
}

void DownloadFileListTaskSpecification::onFileTaskCanceled(TaskSpecification *fileTask)
{
    if (fileTask->state != ErrorCanceled || state != Running)
        return;
    // Each of them may end, and this task with it, while being told; the copy keeps the walk
    // valid whatever that does to the lists.
    const QList<TaskSpecification *> running = runningSubTasks;
    for (TaskSpecification *sibling : running)
        sibling->userCanceled();
}

void DownloadFileListTaskSpecification::reset()
{
    const QList<TaskSpecification *> fileTasks = allSubTasks;
    for (TaskSpecification *fileTask : fileTasks)
        fileTask->reset();
    clearSubTasks();
    totalBytes = 0;
    filesLeft = 0;
    finishedBytes = 0;
    finishedSpeed = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                                 quint64 &speed, bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    downloadDone += finishedBytes;
    speed += finishedSpeed;
    finishedSpeed = 0;
    downloadTotal = totalBytes;
}
