#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "fileops/rollbackdata.h"
#include "tasks/taskspecification.h"

#include <QString>

class RollbackDataList;

/**
 * @class FastFileOpTaskSpecification
 * @brief Base of the file operations quick enough to run on the main thread.
 *
 * The whole operation happens inside execute(): the run has ended, with
 * exactly one finished() or canceled(), before execute() returns. An
 * operation makes at most one change per level, records it in the journal
 * only after it succeeded, and on failure leaves the file system as it found
 * it; failures are explained through message() before canceled() (state
 * ErrorCanceled). Progress jumps from 0 to the full share on success and stays
 * at 0 on failure. These tasks use the base reset().
 */
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    /**
     * @p fileName is the path the operation is about. Changes are recorded in
     * @p rollbackList, which is not owned and may be null (then nothing is
     * recorded).
     */
    FastFileOpTaskSpecification(const QString &fileName, RollbackDataList *rollbackList,
                                QObject *parent, double parentProgressRange);

    /// Runs doOp() and ends the run with its outcome before returning.
    void execute() override;

protected:
    /// The operation itself; true on success. Failures send their text through message().
    virtual bool doOp() = 0;

    /// Appends @p record to the journal, if there is one.
    void addRollbackOp(const RollbackData &record);
    /**
     * Announces @p record to the journal's file on disk before the change is
     * made (see RollbackDataList::announce()). On failure the text "Could not
     * write the installation journal" goes out and false is returned: the
     * change must not be made.
     */
    bool announceRollbackOp(const RollbackData &record);

    /// The journal to record changes in; null means nothing is recorded. Not owned.
    RollbackDataList *rollbackList;
    /// The directory to create, the file to delete, or the new name of a rename.
    QString fileName;
};

#endif // FASTFILEOPTASKSPECIFICATION_H
