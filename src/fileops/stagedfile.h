#ifndef STAGEDFILE_H
#define STAGEDFILE_H

#include <QString>

#include <sys/types.h>

/**
 * @class StagedFile
 * @brief A new file written where nobody sees it, then put in place at once.
 *
 * The content is written into an unnamed file in the destination's directory
 * (O_TMPFILE), so a process killed while writing leaves nothing behind. When
 * the file system cannot make unnamed files, a named one is used instead, at
 * temporaryName() of the destination, which the installation journal knows
 * how to clean up.
 *
 * commit() gives the file its final mode, makes its bytes durable and only
 * then lets it take the destination's name: either as a new name (failing if
 * anything is there, a link to nothing included) or, for a replacement, with
 * one rename() over the installed file, so that the name never goes missing.
 * A staged file that is destroyed without a successful commit is removed.
 *
 * Not a Qt object; used on one pool thread at a time.
 */
class StagedFile
{
public:
    /// How commit() puts the file in place.
    enum Placement {
        /// The destination must not exist; nothing is ever written over.
        CreateOnly,
        /// The destination is replaced atomically if it exists.
        Replace
    };

    /// For commit(): leave the mode the file was created with (0666 less the umask).
    static constexpr mode_t KeepMode = mode_t(-1);
    /// The mode a file created now gets: 0666 less the process's umask (read once; the updater
    /// never changes its umask).
    static mode_t newFileMode();

    /// Opens a new staged file for @p destination; see isOpen().
    explicit StagedFile(const QString &destination);
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    /// Whether the staged file could be created; write through handle().
    bool isOpen() const { return fd >= 0; }

    /// The file descriptor to write the content to.
    int handle() const { return fd; }

    /**
     * Sets @p mode (unless it is KeepMode), syncs the content to the disk and places the file as
     * @p placement says. Any failure, a failed sync included, leaves the
     * destination as it was and returns false.
     */
    bool commit(mode_t mode, Placement placement);

    /**
     * The name a replacement passes through on its way over @p destination,
     * and the name of the staged file where unnamed files are not supported.
     * Fixed for each destination, so that a crash's leftovers can be found.
     */
    static QString temporaryName(const QString &destination);

    /**
     * Gives the open regular file @p fd the name @p destination as
     * @p placement says: a new name, or, for Replace, a temporary name that
     * is renamed over the destination in one step. On failure errno says why
     * and nothing is left under either name. Making the content durable and
     * setting the mode first is the caller's part.
     */
    static bool placeOpenFile(int fd, const QString &destination, Placement placement);

    /**
     * Writes all @p size bytes of @p data to @p fd, going on after short
     * writes and interruptions; false on any failure (a full disk included).
     */
    static bool writeAll(int fd, const char *data, qint64 size);

    /// Syncs the directory @p path, so that names created or renamed in it are durable.
    static bool syncDirectory(const QString &path);

    /// fdatasync()s @p fd. File systems that cannot sync a file say EINVAL; there is nothing
    /// more to wait for on them, so that counts as synced.
    static bool syncData(int fd);

    /// Whether link() failing with @p error says only that this file system (or this file)
    /// takes no further name, not that anything is wrong: another way (a copy, a rename) is
    /// the way then.
    static bool linkRefused(int error);

private:
    void discard();

    QByteArray destination;
    QByteArray temporary;
    int fd = -1;
    // The staged file already has the temporary name (no unnamed files here).
    bool named = false;
};

#endif // STAGEDFILE_H
