#ifndef FILEUNZIPTASKSPECIFICATION_H
#define FILEUNZIPTASKSPECIFICATION_H

#include "fileops/slowfileopspecification.h"

/**
 * @class FileUnzipTaskSpecification
 * @brief Unpacks a gzip-compressed download into the installation on a pool thread.
 *
 * See SlowFileOpSpecification for the run and the journal record, and
 * FileUnzipFunc for what counts as success. A failure (source missing or
 * unreadable, destination present or not writable, corrupt or truncated
 * data, short write) sends "Could not unzip '<source>' to '<destination>'".
 */
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnzipTaskSpecification(RollbackDataList *rollbackList, const QString &sourcePath,
                               const QString &destinationPath, QObject *parent,
                               double parentProgressRange);

protected:
    /// A new FileUnzipFunc for the two paths.
    ASyncFunc *createFunction() override;
};

#endif // FILEUNZIPTASKSPECIFICATION_H
