#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "fileops/stagedfile.h"
#include "tasks/asynctaskspecification.h"

#include <QString>

class RollbackDataList;
class SlowFileOpFunc;

/**
 * @class SlowFileOpSpecification
 * @brief Base of the file operations that create one file on a pool thread.
 *
 * The byte work (copying, unpacking) runs on the thread pool and touches only
 * the two paths. When it reports back on the main thread, a success is
 * recorded in the journal as one CreateFile record of the destination, and a
 * failure sends @c failureMessage through message(); then the run ends with
 * exactly one finished() or canceled() (state ErrorCanceled), never inside
 * execute(). Progress jumps from 0 to the full share on success.
 *
 * By default the work never replaces an existing destination and, when it
 * fails, leaves no destination behind; so only a completely written file is
 * ever recorded, and undoing the journal deletes exactly what this task
 * created. Before the work starts, the creation is announced to the journal
 * on disk; if that fails, the run fails without any work. A task told to
 * replace the destination (setPlacement()) records nothing: the journal
 * already holds the old file's copy, whose undo puts it back over the new
 * one. The source is never changed.
 */
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    /**
     * @p failureMessage is the translated text sent when the work fails.
     * @p rollbackList (not owned, may be null) receives the record of the
     * created file.
     */
    SlowFileOpSpecification(const QString &failureMessage, RollbackDataList *rollbackList,
                            const QString &sourcePath, const QString &destinationPath,
                            QObject *parent, double parentProgressRange);

    /// How the new file takes the destination's name (CreateOnly unless set).
    void setPlacement(StagedFile::Placement newPlacement) { placement = newPlacement; }

    /// The new file's mode; KeepMode (the default) leaves the operation's own.
    void setMode(mode_t newMode) { mode = newMode; }

    /// Announces the new file to the journal on disk, then starts the work.
    void execute() override;

protected:
    /// Hands the placement and the mode to a new work object and returns it.
    ASyncFunc *configured(SlowFileOpFunc *func) const;

    /**
     * Sends the failure text, or records the created destination (also when
     * the result belongs to a run that was abandoned: the file exists, and
     * only the journal can remove it again), then ends the run as the base
     * class does.
     */
    void runDone(bool ok) override;

    /// Journal for the created file; may be null. Not owned.
    RollbackDataList *rollbackList;
    /// The file to read, in the run's temporary directory.
    QString sourcePath;
    /// The file to create, in the installation directory.
    QString destinationPath;
    /// Sent through message() when the work fails.
    QString failureMessage;
    /// How the new file takes the destination's name.
    StagedFile::Placement placement = StagedFile::CreateOnly;
    /// The new file's mode.
    mode_t mode = StagedFile::KeepMode;
};

#endif // SLOWFILEOPSPECIFICATION_H
