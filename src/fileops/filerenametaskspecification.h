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
 */
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString &from, const QString &to,
                                RollbackDataList *rollbackList, QObject *parent,
                                double parentProgressRange);

protected:
    bool doOp() override;

private:
    /// The current name of the file; @c fileName holds the new one.
    QString sourceName;
};

#endif // FILERENAMETASKSPECIFICATION_H
