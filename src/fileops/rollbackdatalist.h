#ifndef ROLLBACKDATALIST_H
#define ROLLBACKDATALIST_H

#include "fileops/rollbackdata.h"

#include <QList>

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

private:
    QList<RollbackData> list;
};

#endif // ROLLBACKDATALIST_H
