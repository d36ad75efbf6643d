#pragma once

#include "fileops/installjournal.h"
#include "fileops/rollbackdatalist.h"
#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

class Configuration;
class FileStateCache;

// Installs every file of the replace list as one unit: missing directories
// (those of the files and the release's empty ones) first, then the replacements, two at a time,
// all recorded in one installation journal. If anything fails or the user cancels, every change of
// every replacement and every created directory is undone, newest first. Ends every run with
// exactly one finished() or canceled(); an empty replace list finishes inside execute().
//
// The journal is also kept on disk (InstallJournal), each change written
// ahead of it, so that the next start can undo an installation that a crash
// interrupted. On success it is committed with the delete list and stays
// until the delete list task has deleted those files; after a rollback it
// is removed, unless some change could not be undone: then it stays for the
// next start to finish the undo. Journal failures fail the installation
// like any other.
//
// The directory steps are made when the installation starts; each
// replacement is made when it starts and dropped once it has finished (its
// changes then belong to the installation's journal), so memory does not
// grow with the number of files.
//
// Reads its lists when it executes: they are filled by an earlier step.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaceList,
                                     QList<QString> *oldFilesToDelete, Configuration *configuration,
                                     QObject *parent, double parentProgressRange);

    void execute() override;
    // Deletes the steps and undoes whatever an installation that did not
    // finish left recorded; a finished installation is committed and stays.
    void reset() override;

    /// The journal on disk, committed when an installation finished.
    InstallJournal *diskJournal() { return &journalFile; }

    /// The release's empty directories the installation lacks (relative paths), created with
    /// the directories of the files, under the same journal, even when no file is to be
    /// installed. Not owned, may be null; read when the task executes.
    void setDirectoryList(const QList<QString> *directories) { directoryList = directories; }

    /// Told of every file installed (see FileReplaceTaskSpecification); not owned, may be null.
    void setFileStateCache(FileStateCache *cache) { fileStates = cache; }

protected:
    void subtasksDone() override;
    void connectSignals(TaskSpecification *subTask) override;
    qsizetype waitingSubTaskCount() const override;
    TaskSpecification *takeNextSubTask() override;

private:
    void makeSubtasksAndStart();
    // After a rollback: the journal goes when everything was undone (@p undone), else it stays.
    void endJournal(bool undone);
    int makeSubdirTasks();
    // The undo records of every change the installation may make.
    QList<RollbackData> plannedChanges() const;
    // The absolute paths of the directories the installation must have: those of the files
    // and the release's empty ones.
    QStringList neededDirectories() const;

    QList<FileReplaceSpecification> *replaceList;
    QList<QString> *oldFilesToDelete;
    const QList<QString> *directoryList = nullptr;
    RollbackDataList installJournal;
    Configuration *configuration;
    InstallJournal journalFile;
    FileStateCache *fileStates = nullptr;
    // The journal could not be created: nothing was started or changed.
    bool journalFailed = false;
    // The replacements not yet made, counted from the end of the list.
    qsizetype filesLeft = 0;
    double fileShare = 0.0;
};
