#ifndef ROLLBACKDATALIST_H
#define ROLLBACKDATALIST_H

#include "fileops/rollbackdata.h"

#include <QList>

class InstallJournal;
class QObject;

/**
 * @class RollbackDataList
 * @brief A journal of undo records, kept oldest first and undone newest first.
 *
 * Undoing in reverse order is what makes the journal correct: a file created
 * in a new directory is deleted before the directory is removed, and a new
 * file that took an installed file's name is deleted before the installed
 * file gets its name back.
 *
 * Not a Qt object and not thread-safe: journals are used on the main thread
 * only; work done on pool threads is recorded after it has reported back.
 */
class RollbackDataList
{
public:
    /// An empty journal.
    RollbackDataList();

    /// Appends one record as the newest.
    void add(const RollbackData &record);

    /// Appends all records of @p other, in their order, after its own; @p other is not changed.
    void appendList(const RollbackDataList &other);

    /// Drops all records without undoing them (the changes are kept).
    void clear();

    /**
     * Undoes every record, newest first, removing each from the journal
     * before it is undone. A failed undo does not stop the others: the
     * remaining records are still undone and each failure sends its own
     * warning to @p reporter (which may be null). Returns true if every record
     * was undone, also for an empty journal. The journal is empty afterwards
     * and can be filled again.
     */
    bool rollback(QObject *reporter);

    /// The records, oldest first.
    const QList<RollbackData> &records() const { return list; }

    /// Whether the journal holds no record.
    bool isEmpty() const { return list.isEmpty(); }

    /**
     * Writes the records of this journal's changes ahead to @p journal on
     * disk (not owned, may be null) through announce(). Not copied by
     * appendList().
     */
    void setDiskJournal(InstallJournal *journal) { disk = journal; }

    /// The journal on disk that changes are announced to, or null.
    InstallJournal *diskJournal() const { return disk; }

    /**
     * Called before a change is made: appends @p record to the journal on
     * disk, if there is one, and returns whether the change may be made.
     */
    bool announce(const RollbackData &record);

private:
    QList<RollbackData> list;
    InstallJournal *disk = nullptr;
};

#endif // ROLLBACKDATALIST_H
