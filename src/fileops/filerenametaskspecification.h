#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fileops/fastfileoptaskspecification.h"

/**
 * @class FileRenameTaskSpecification
 * @brief Gives a file a new name, recording the rename for undo.
 *
 * Never replaces a file: a rename onto an existing name (a symbolic link
 * included, even one whose target is missing) fails with "Could not
 * rename '<from>' to '<to>'" and records nothing. On success one Rename
 * record (from @c sourceName to @c fileName) is appended to the journal.
 *
 * With LinkAside the file keeps its name and gets the new one as a second
 * name (a hard link), so an installed file is never missing while its
 * replacement is put in place; file systems without hard links fall back to
 * a plain rename. Both are undone alike, by renaming the new name back.
 */
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    /// How the file gets its new name.
    enum Method {
        /// The file is renamed.
        Move,
        /// The file keeps its name and gets the new one as a hard link.
        LinkAside
    };

    FileRenameTaskSpecification(const QString &from, const QString &to,
                                RollbackDataList *rollbackList, QObject *parent,
                                double parentProgressRange, Method method = Move);

protected:
    bool doOp() override;

private:
    /// The current name of the file; @c fileName holds the new one.
    QString sourceName;
    Method method;
};

#endif // FILERENAMETASKSPECIFICATION_H
