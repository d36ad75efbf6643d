#ifndef ROLLBACKDATA_H
#define ROLLBACKDATA_H

#include <QString>

class QObject;

/**
 * @class RollbackData
 * @brief The undo record of one change made to the installation.
 *
 * A record is kept in memory right after a change succeeded, so that undoing
 * it restores exactly what was there; an installation also writes it to its
 * journal on disk before the change is made (see InstallJournal). It is a
 * plain value, copied freely.
 *
 * Records are undone on the main thread. Undoing never stops at a failure:
 * rollback() reports it as a warning through the reporter and returns false.
 */
class RollbackData
{
public:
    /// The kind of change that was made. The numbers are stable.
    enum Operation {
        /// The file at @c previousPath was given the name @c path, or a
        /// second name @c path (a hard link) to keep its content while a new
        /// file takes its name.
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
     * Undoes the change: a rename is reversed, the file at @c path going back
     * over whatever holds @c previousPath now (failing if nothing is at
     * @c path), a created file is deleted, a created directory is removed only
     * while it is empty. Returns whether the undo succeeded; on
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
     * Gives the installed file's old copy @p oldCopy its name @p name back,
     * over whatever holds that name now, in one rename(): the name is never
     * missing, and a link there is replaced, never written through. Where
     * both are still names of the same file, @p oldCopy is just removed.
     * Fails if there is no @p oldCopy.
     */
    static bool restoreOldCopy(const QString &oldCopy, const QString &name);

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
