#ifndef ROLLBACKDATA_H
#define ROLLBACKDATA_H

#include <QString>

class QObject;

/**
 * @class RollbackData
 * @brief The undo record of one change made to the installation.
 *
 * A record is written right after a change succeeded, never before, so that
 * undoing it restores exactly what was there. It is a plain value, copied
 * freely; journals of records live in memory only (see RollbackDataList).
 *
 * Records are undone on the main thread. Undoing never stops at a failure:
 * rollback() reports it as a warning through the reporter and returns false.
 */
class RollbackData
{
public:
    /// The kind of change that was made. The numbers are stable.
    enum Operation {
        /// The file at @c previousPath was given the name @c path.
        Rename = 0,
        /// The file @c path was created (copied or unpacked).
        CreateFile = 1,
        /// The directory @c path was created.
        CreateDir = 2
    };

    /// A record of a created file or directory; @c previousPath stays empty.
    RollbackData(Operation operation, const QString &path);

    /// A record of a rename of @p from to @p to: @c path is @p to, @c previousPath @p from.
    RollbackData(Operation operation, const QString &from, const QString &to);

    /**
     * Undoes the change: a rename is reversed (failing if @c previousPath has
     * been taken meanwhile), a created file is deleted, a created directory is
     * removed only while it is empty. Returns whether the undo succeeded; on
     * failure one warning goes to @p reporter (see message()), which may be
     * null. A record with an operation outside the enumeration stops the
     * program.
     */
    bool rollback(QObject *reporter) const;

    /**
     * Gives the file @p from the name @p to, failing if anything at all is
     * named @p to, a symbolic link whose target is missing included (a plain
     * QFile::rename() would write the file through such a link, to wherever it
     * points, and delete the original). Renames and their undo go through
     * this.
     */
    static bool renameFile(const QString &from, const QString &to);

    /**
     * Hands @p text to the reporter's method named "message" (a task's
     * message() signal) through the meta-object system, with an automatic
     * connection. With a null reporter the text is dropped.
     */
    static void message(QObject *reporter, const QString &text);

    /// The file or directory after the change (an absolute path in all uses).
    QString path;
    /// For a rename, the name before the change; empty otherwise.
    QString previousPath;
    /// What was done.
    Operation operation;
};

#endif // ROLLBACKDATA_H
