#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fileops/fastfileoptaskspecification.h"

/**
 * @class DirCreateTaskSpecification
 * @brief Creates a directory and any missing parents, each recorded for undo.
 *
 * Missing ancestors are created from the outermost inwards, each with its own
 * CreateDir record in that order, so that undoing the journal removes them
 * innermost first. A directory that already exists is accepted and not
 * recorded: it was not this task's to create, so it is not its to remove.
 * When a deeper level fails, the ancestors already made stay, recorded in the
 * journal, which undoes them.
 */
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    /// @p dirPath is the absolute path of the directory to create.
    DirCreateTaskSpecification(const QString &dirPath, RollbackDataList *rollbackList,
                               QObject *parent, double parentProgressRange);

    /**
     * Makes sure @p path is a directory, creating it and its missing parents
     * one level at a time. Returns false, with one message, if @p path or an
     * ancestor exists as something other than a directory, if the recursion
     * reaches a file-system root or a relative path without a parent, or if a
     * creation fails.
     */
    bool tryCreateDir(const QString &path);

protected:
    bool doOp() override;
};

#endif // DIRCREATETASKSPECIFICATION_H
