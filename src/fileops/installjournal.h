#ifndef INSTALLJOURNAL_H
#define INSTALLJOURNAL_H

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class RollbackData;

/**
 * @class InstallJournal
 * @brief The installation's undo journal on disk, so that a crash can be repaired.
 *
 * An installation changes the installation directory in many steps. Before
 * each change, its undo record is appended to the file "update.journal" in
 * the installation directory and synced; only then is the change made. When
 * every file is in place, the directories that received new names are synced
 * and the journal is marked committed, together with the files still to
 * delete; it is removed once those are gone. So at any instant the journal
 * says how to get back to the old version (not committed) or how to finish
 * the new one (committed), and recover() does that at the next start.
 *
 * Undo records are idempotent: recover() may meet a change that was recorded
 * but never made, or one that an interrupted rollback already undid, and it
 * leaves both alone.
 *
 * Paths are stored relative to the installation directory, percent-encoded,
 * one record a line. Not a Qt object; used on the main thread only.
 */
class InstallJournal
{
public:
    /// The journal of the installation in @p root; nothing is opened yet.
    explicit InstallJournal(const QString &root);
    ~InstallJournal();
    InstallJournal(const InstallJournal &) = delete;
    InstallJournal &operator=(const InstallJournal &) = delete;

    /// "update.journal": the journal's name in the installation directory.
    static QString fileName();

    /// The journal's path.
    QString path() const { return journalPath; }

    /// Whether create() succeeded and the journal has not been removed since.
    bool isOpen() const { return fd >= 0; }

    /// Whether commit() succeeded.
    bool isCommitted() const { return committed; }

    /**
     * Creates the journal file, which must not exist yet (a journal left by
     * a crash is recover()'s to handle, never to be overwritten), and makes
     * it and its name durable. Returns false on any failure.
     */
    bool create();

    /**
     * Appends the undo record of a change that is about to be made and
     * syncs it. The change may only be made when this returned true. Paths
     * outside the installation directory are refused.
     */
    bool append(const RollbackData &record);

    /**
     * Appends the undo records of changes about to be made, with a single
     * sync: an installation announces all it will change before its first
     * change, and the operations' own announcements of the same records
     * then cost nothing. Records already announced are skipped.
     */
    bool appendAll(const QList<RollbackData> &records);

    /**
     * Syncs every directory that recorded changes touched, then marks the
     * journal committed with @p deleteList (paths relative to the
     * installation directory) as the files still to delete, and syncs it.
     * Returns false on any failure; the journal then stays uncommitted.
     */
    bool commit(const QStringList &deleteList);

    /// Closes and deletes the journal file, and makes the deletion durable.
    void remove();
    /// Closes the journal file and leaves it for the next start to act on.
    void close();

    /// What recover() found and did.
    struct Recovery
    {
        enum Outcome {
            /// There was no journal.
            Nothing,
            /// An installation that had not committed was undone.
            Undone,
            /// A committed installation was finished.
            Finished,
            /// The journal could not be read or not be acted on; it was left in place.
            Failed
        };
        Outcome outcome = Nothing;
        /// The number of changes undone (Undone).
        int changes = 0;
        /// Why it failed (Failed).
        QString problem;
    };

    /**
     * Repairs an installation in @p root after a crash: an uncommitted
     * journal is undone newest first (old copies get their names back, new
     * files and empty new directories are removed, staged files are
     * cleared), a committed one is finished (its files to delete are
     * deleted). Then the journal is removed. A journal that cannot be read,
     * or whose undo fails, is left in place.
     */
    static Recovery recover(const QString &root);

private:
    bool writeDurably(const QByteArray &text);
    bool encodeRecord(const RollbackData &record, QByteArray *line);
    static QString keyOf(const RollbackData &record);
    bool encode(const QString &absolute, QByteArray *field) const;

    QString rootPath;
    QString journalPath;
    int fd = -1;
    bool committed = false;
    // Directories in which recorded changes create, remove or rename names;
    // synced once at commit() instead of once per change.
    QSet<QString> touchedDirectories;
    // The records written so far.
    QSet<QString> announced;
};

#endif // INSTALLJOURNAL_H
