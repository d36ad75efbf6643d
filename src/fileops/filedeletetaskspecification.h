#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fileops/fastfileoptaskspecification.h"

/**
 * @class FileDeleteTaskSpecification
 * @brief Deletes one file; a deletion cannot be undone, so it has no journal.
 *
 * With @c reportFailure false the task always finishes: a missing or
 * undeletable file is accepted silently. With @c reportFailure true a failed
 * deletion sends "Could not delete '<file>'" and cancels the run.
 */
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool reportFailure, const QString &fileToDelete, QObject *parent,
                                double parentProgressRange);

protected:
    bool doOp() override;

private:
    /// Whether a failed deletion counts as a failure.
    bool reportFailure;
};

#endif // FILEDELETETASKSPECIFICATION_H
