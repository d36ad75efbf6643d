#include "fileops/filereplacelisttaskspecification.h"

#include "app/configuration.h"
#include "fileops/dircreatetaskspecification.h"
#include "fileops/filereplacetaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

constexpr double DirectoriesShare = 0.1;

} // namespace

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification> *replaceList, QList<QString> *oldFilesToDelete,
    Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(2, parentProgressRange, parent),
      replaceList(replaceList),
      oldFilesToDelete(oldFilesToDelete),
      configuration(configuration),
      journalFile(Configuration::getAppRootPath())
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    journalFailed = false;
    filesLeft = 0;
    installJournal.setDiskJournal(nullptr);
    if (!replaceList->isEmpty() || (directoryList && !directoryList->isEmpty())) {
        // Before the first change. An existing journal is never taken over:
        // it belongs to an installation that the next start has to repair.
        if (!journalFile.create()) {
            emit message(
                tr("Could not create the installation journal %1").arg(journalFile.path()));
            journalFailed = true;
            state = Running;
            executeSubTasks();
            return;
        }
        installJournal.setDiskJournal(&journalFile);
        // Everything this installation may change, announced with a single
        // sync instead of one per change: each undo record holds whether it
        // is still to be undone (the old copy must be the installed file's,
        // a new file or directory is removed only if it is there).
        if (!journalFile.appendAll(plannedChanges())) {
            emit message(tr("Could not write the installation journal"));
            journalFile.remove();
            journalFailed = true;
            state = Running;
            executeSubTasks();
            return;
        }
    }
    const int dirTasks = makeSubdirTasks();
    filesLeft = replaceList->size();
    if (filesLeft > 0)
        fileShare = (dirTasks > 0 ? 1.0 - DirectoriesShare : 1.0) / double(filesLeft);
    state = Running;
    executeSubTasks();
}

QStringList FileReplaceListTaskSpecification::neededDirectories() const
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    QSet<QString> seen;
    QStringList needed;
    const auto need = [&seen, &needed](const QString &dir) {
        if (!seen.contains(dir)) {
            seen.insert(dir);
            needed.append(dir);
        }
    };
    for (const FileReplaceSpecification &spec : qAsConst(*replaceList))
        need(QDir::cleanPath(QFileInfo(root + spec.destFileName(QString())).absolutePath()));
    if (directoryList) {
        for (const QString &dir : *directoryList)
            need(QDir::cleanPath(root + dir));
    }
    return needed;
}

QList<RollbackData> FileReplaceListTaskSpecification::plannedChanges() const
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    QList<RollbackData> changes;
    QSet<QString> directories;
    // Missing directories, outermost first, as their creation makes them.
    const auto planDirectory = [&changes, &directories](const QString &path) {
        QStringList missing;
        for (QString dir = path; !QFileInfo::exists(dir) && !directories.contains(dir);
             dir = QFileInfo(dir).path()) {
            directories.insert(dir);
            missing.prepend(dir);
            if (QDir(dir).isRoot())
                break;
        }
        for (const QString &dir : qAsConst(missing))
            changes.append(RollbackData(RollbackData::CreateDir, dir));
    };
    for (const QString &dir : neededDirectories())
        planDirectory(dir);
    for (const FileReplaceSpecification &spec : qAsConst(*replaceList)) {
        const QString file = root + spec.destFileName(QString());
        if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
            changes.append(RollbackData(RollbackData::Rename, file, root + spec.oldDestFileName()));
        else
            changes.append(RollbackData(RollbackData::CreateFile, file));
    }
    return changes;
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    QStringList missing;
    for (const QString &dir : neededDirectories()) {
        if (!QFileInfo(dir).isDir())
            missing.append(dir);
    }
    // A parent sorts before its subdirectories, so it is created first and
    // undone last.
    missing.sort();
    // Without files to install, the directories are the whole installation.
    const double share = (replaceList->isEmpty() ? 1.0 : DirectoriesShare) / missing.size();
    for (const QString &dir : qAsConst(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &installJournal, this, share));
    return int(missing.size());
}

qsizetype FileReplaceListTaskSpecification::waitingSubTaskCount() const
{
    return pendingSubTasks.size() + filesLeft;
}

TaskSpecification *FileReplaceListTaskSpecification::takeNextSubTask()
{
    // The directories first: they were made pending before any replacement.
    if (pendingSubTasks.isEmpty()) {
        const FileReplaceSpecification &spec = replaceList->at(replaceList->size() - filesLeft);
        --filesLeft;
        auto *replacement = new FileReplaceTaskSpecification(
            spec, oldFilesToDelete, &installJournal, configuration, this, fileShare);
        replacement->setFileStateCache(fileStates);
        addSubTask(replacement);
    }
    return ComposedTaskSpecification::takeNextSubTask();
}

void FileReplaceListTaskSpecification::connectSignals(TaskSpecification *subTask)
{
    ComposedTaskSpecification::connectSignals(subTask);
    // After the base class's own handling, which has already taken the step off the running
    // ones and ends this task if it was the last.
    // A finished replacement has handed its changes to the installation's journal, which undoes
    // them if need be: nothing of it is needed any more.
    if (qobject_cast<FileReplaceTaskSpecification *>(subTask))
        connect(subTask, &TaskSpecification::finished, this,
                &FileReplaceListTaskSpecification::discardDoneSubTask);
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (journalFailed) {
        errorCancel();
        return;
    }
    const bool finished = getStateFromSubTasks() == Finished;
    bool committed = finished;
    if (finished && journalFile.isOpen() && !journalFile.commit(*oldFilesToDelete)) {
        emit message(tr("Could not write the installation journal"));
        committed = false;
    }
    if (committed) {
        // Committed: the delete list that follows removes the old copies, so
        // a later undo (from reset()) could no longer give the installed
        // files back and would only delete the new ones.
        installJournal.clear();
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    emit message(tr("rolling back file updates"));
    endJournal(installJournal.rollback(this));
    if (finished)
        errorCancel();
    else
        ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    filesLeft = 0;
    const bool undone = installJournal.rollback(this);
    // A committed journal stays for the delete list, or for the next start.
    if (journalFile.isOpen() && !journalFile.isCommitted())
        endJournal(undone);
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::endJournal(bool undone)
{
    // An undo that failed left the installation part old, part new: only the journal can still
    // put it right, at the next start, and no new installation may begin over it until then.
    if (undone)
        journalFile.remove();
    else
        journalFile.close();
}
