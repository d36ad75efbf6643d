#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "fileops/stagedfile.h"
#include "tasks/asyncfunc.h"

#include <QString>

/**
 * @class SlowFileOpFunc
 * @brief Base of the work objects that create one file from another.
 *
 * Holds its own copies of both paths, so nothing is shared with the main
 * thread while it runs. Contract for run(): write the new file out of sight and
 * put it in place as @c placement says (by default only where nothing exists),
 * with @c mode, synced; on failure leave the destination as it was. It emits
 * no progress(), and a message() only for a failure of the local disk
 * (explainLocalFailure()); the task explains every failure.
 */
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString &sourcePath, const QString &destinationPath);

    /// How the new file takes the destination's name; CreateOnly unless set.
    StagedFile::Placement placement = StagedFile::CreateOnly;
    /// The new file's mode; KeepMode leaves the mode the operation gives by itself.
    mode_t mode = StagedFile::KeepMode;

protected:
    /**
     * Sends SessionFile::diskErrorMessage() for the destination when @p error, the errno a
     * failed run() ended with, is the local disk's (full, read-only, failing), so the user
     * learns where room is missing and not only that the operation failed.
     */
    void explainLocalFailure(int error);

    /// The file to read.
    QString sourcePath;
    /// The file to create.
    QString destinationPath;
};

#endif // SLOWFILEOPFUNC_H
