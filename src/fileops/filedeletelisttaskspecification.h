#pragma once

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

class InstallJournal;

// Deletes, as far as it can, every entry of the delete list (paths relative
// to the installation directory): files the product no longer has and the
// old copies the replacements moved aside. Missing or undeletable files are
// skipped with a warning in the log; the list finishes unless the user
// cancels. Not journalled: once it runs, the installation is committed, and
// the committed journal lists these files so that the next start can finish
// the deletions if this list is interrupted.
//
// Reads the list when it executes, so entries added by the replacements
// are seen.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<QString> *deleteList, QObject *parent,
                                    double parentProgressRange);

    void execute() override;
    void reset() override;

    /**
     * The committed installation journal (not owned, may be null) whose
     * files this list deletes; it is removed when the list has finished.
     */
    void setInstallJournal(InstallJournal *journal) { installJournal = journal; }

    /**
     * Directories the release no longer has (relative paths, deepest first), each removed after
     * the deletions if it is empty then (DirRemoveTaskSpecification). Not owned, may be null;
     * read when the task executes.
     */
    void setDropDirectoryList(const QList<QString> *directories)
    {
        dropDirectoryList = directories;
    }

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();

    QList<QString> *deleteList;
    const QList<QString> *dropDirectoryList = nullptr;
    InstallJournal *installJournal = nullptr;
};
