#pragma once

#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QThreadPool>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

/**
 * @class DownloadFileListTaskSpecification
 * @brief Brings every file of the download list into the session's temporary directory.
 *
 * execute() takes the list as it is at that moment:
 * - an empty list sends "No downloads needed" and finishes at once, without entering Running;
 * - otherwise every file path is checked first (DownloadFileTaskSpecification::isSafeFilePath():
 *   one that would leave the temporary directory sends "invalid file path %1"), then the
 *   directories of the files are created below tempDir, each once ("could not make dir %1" with
 *   the canonical tempDir, "/" and the directory on failure). Either failure ends the run with
 *   ErrorCanceled before any download starts and without creating anything outside tempDir;
 * - then "Downloading files", and one DownloadFileTaskSpecification per record, in list order,
 *   each with an equal share of this task's progress whatever its size. At most `streams` of
 *   them run at once; each one that ends starts the next. When update.ini does not set
 *   `streams`, the bound grows to the pool's slots once a mirror answers over HTTP/2
 *   (Mirrors::http2Found()). A file task is made only when it starts and discarded (deferred
 *   deletion) once it has finished, its figures kept as sums, so that memory does not grow with
 *   the length of the list; a file task that failed or was cancelled stays until the list is
 *   reset. A record's block list (blockLine) goes to its file task: the record keeps none once
 *   its task is made.
 *
 * The outcome follows from the file tasks: Finished when all finished, UserCanceled after a user
 * cancel. When a file task ends with ErrorCanceled, no further file is started and the running
 * ones are told to cancel: the run has failed anyway, and a download waiting for a mirror slot
 * that no transfer will free would otherwise keep the list from ever ending. The list then ends
 * with ErrorCanceled once they have.
 *
 * Every run ends with exactly one finished() or canceled(), possibly from inside execute(). The
 * list, the manager, the pool and the configuration are not owned and must outlive the task;
 * the list must not change while the task runs. Main thread only.
 */
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    /**
     * Creates an idle task over @p downloadList (not copied: it is read when the task executes),
     * with at most @p configuration's `streams` downloads at once.
     */
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *downloadList,
                                      QNetworkAccessManager *manager, Mirrors *mirrors,
                                      Configuration *configuration, QObject *parent,
                                      double parentProgressRange);

    void execute() override;

    /**
     * The files the installation step will write, not owned: when set, execute() first checks
     * that the downloads and these fit on their disks (DiskSpaceCheck) and otherwise ends with
     * ErrorCanceled, the shortage sent through error(), before anything is fetched.
     */
    void setReplaceList(const QList<FileReplaceSpecification> *list) { replaceList = list; }

    /**
     * Resets and discards the file tasks (a running download gives its mirror slot back and
     * deletes its partial file), sets the total byte count to 0, then the base reset.
     */
    void reset() override;

    /**
     * The sums over the file tasks (ComposedTaskSpecification::timeTick()), except that
     * @p downloadTotal is set to the total size of all files of the list, known from the first
     * tick on. @p downloadDone counts every file task whose download reports a size, finished
     * ones included.
     */
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

    /// Sum of the sizes of all files of the list; 0 before execute() and after reset().
    quint64 getTotalBytes() const { return totalBytes; }

protected:
    void connectSignals(TaskSpecification *subTask) override;
    qsizetype waitingSubTaskCount() const override { return filesLeft; }
    TaskSpecification *takeNextSubTask() override;

private:
    bool makeSubDirs();
    void makeSubtasksAndStart();
    void onFileTaskCanceled(TaskSpecification *fileTask);
    void onFileTaskFinished(TaskSpecification *fileTask);

    QList<FileDownloadSpecification> *downloadList;
    const QList<FileReplaceSpecification> *replaceList = nullptr;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    quint64 totalBytes = 0;
    // The records of the list not yet given a task, counted from its end.
    qsizetype filesLeft = 0;
    double fileShare = 0.0;
    // Digests the files as they arrive. Not the global pool: the checks and the installation's
    // work, and whoever waits for them, must not queue behind hashing.
    QThreadPool digestPool;
    // What the discarded finished file tasks last reported to timeTick().
    quint64 finishedBytes = 0;
    quint64 finishedSpeed = 0;
};
