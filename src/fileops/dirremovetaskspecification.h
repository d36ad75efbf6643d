#ifndef DIRREMOVETASKSPECIFICATION_H
#define DIRREMOVETASKSPECIFICATION_H

#include "fileops/fastfileoptaskspecification.h"

/**
 * @class DirRemoveTaskSpecification
 * @brief Removes one directory that a release no longer has, if it is empty; best effort.
 *
 * Only an empty directory is removed (rmdir): one that holds anything, the user's files
 * included, stays with a line in the log, and a link is never followed or removed. Like a
 * deletion it is not journalled, and it always finishes.
 */
class DirRemoveTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    /// @p dirPath is the absolute path of the directory to remove.
    DirRemoveTaskSpecification(const QString &dirPath, QObject *parent, double parentProgressRange);

protected:
    bool doOp() override;
};

#endif // DIRREMOVETASKSPECIFICATION_H
