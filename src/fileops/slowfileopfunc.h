#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "tasks/asyncfunc.h"

#include <QString>

/**
 * @class SlowFileOpFunc
 * @brief Base of the work objects that create one file from another.
 *
 * Holds its own copies of both paths, so nothing is shared with the main
 * thread while it runs. Contract for run(): create @c destinationPath only if
 * nothing exists there, and on failure leave no destination behind. It emits
 * neither progress() nor message(); the task explains a failure.
 */
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString &sourcePath, const QString &destinationPath);

protected:
    /// The file to read.
    QString sourcePath;
    /// The file to create.
    QString destinationPath;
};

#endif // SLOWFILEOPFUNC_H
