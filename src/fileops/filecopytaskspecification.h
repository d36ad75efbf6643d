#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "fileops/slowfileopspecification.h"

/**
 * @class FileCopyTaskSpecification
 * @brief Copies a downloaded file into the installation on a pool thread.
 *
 * See SlowFileOpSpecification for the run and the journal record. A failure
 * (source missing, destination present, disk full) sends "Could not copy
 * '<source>' to '<destination>'".
 */
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &sourcePath,
                              const QString &destinationPath, QObject *parent,
                              double parentProgressRange);

protected:
    /// A new FileCopyFunc for the two paths.
    ASyncFunc *createFunction() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
