#ifndef SESSIONFILE_H
#define SESSIONFILE_H

#include <QString>

class QFile;

/**
 * @class SessionFile
 * @brief A file of an update session, opened so that nothing planted at its name is written
 * through or read instead.
 *
 * A session's files are created new (O_EXCL) and never through a link (O_NOFOLLOW). A file kept
 * from an earlier attempt or run is continued only while it is a regular file of this user with
 * no other name: a link, a device or a hard link of another file (an installed one, say) would
 * otherwise have the rest of a download appended to whatever it leads to. Anything else found
 * at the name is removed, and the file starts from zero.
 *
 * Writes report the system's error (error()), so a full disk can be told from a bad mirror.
 * Every way of opening gives a descriptor (handle()) that reads as well as writes: a file put
 * together in pieces reads back what it holds already, and must read it from the file it wrote,
 * not from whatever its name leads to meanwhile.
 *
 * Not a Qt object; owned and used by one thread at a time.
 */
class SessionFile
{
public:
    explicit SessionFile(const QString &path);
    /// Closes the file (it stays on disk).
    ~SessionFile();
    SessionFile(const SessionFile &) = delete;
    SessionFile &operator=(const SessionFile &) = delete;

    QString fileName() const { return path; }
    bool isOpen() const { return fd >= 0; }

    /**
     * The size of a file kept at the name that may be continued; 0 when there is none. Anything
     * at the name that may not be continued is removed.
     */
    qint64 keptSize();

    /**
     * Opens the kept file for appending; true only when it may be continued (see keptSize())
     * and holds exactly @p size bytes. Otherwise nothing is open.
     */
    bool openToAppend(qint64 size);

    /**
     * Opens the kept file for writing at any offset (a file fetched in segments); its size, or
     * -1 when it may not be continued (see keptSize()), and then nothing is open.
     */
    qint64 openToWrite();

    /// Removes whatever is at the name and creates a new, empty file there.
    bool create();

    /// Writes all @p size bytes; false with error() set when the file system refuses any.
    bool write(const char *data, qint64 size);

    /// Writes all @p size bytes at @p offset, leaving the file position alone; false with error()
    /// set when the file system refuses any.
    bool writeAt(qint64 offset, const char *data, qint64 size);
    /// The descriptor of the open file, -1 when none is; owned by this object.
    int handle() const { return fd; }
    /// Empties the open file.
    bool truncate();

    void close();

    /// Closes the file and removes its name.
    void remove();

    /// The errno of the last failure.
    int error() const { return lastError; }

    /**
     * Whether @p error, met while writing a local file, is the local disk's: full, over quota,
     * read-only or failing. Retrying elsewhere cannot help with these.
     */
    static bool isDiskError(int error);

    /**
     * The message for a local file @p filePath that could not be written for @p error:
     * "Not enough disk space in %1 to store %2" for a full disk or quota, else one naming the
     * directory and the reason.
     */
    static QString diskErrorMessage(const QString &filePath, int error);

    /**
     * Opens @p filePath for reading, never through a link and only when it is a regular file:
     * what is checked, unpacked or copied must be the file the session wrote. Returns the
     * close-on-exec descriptor, or -1.
     */
    static int openReadOnly(const QString &filePath);
    /// openReadOnly() into @p file, which owns the descriptor then. On failure @p file stays
    /// closed.
    static bool openForReading(QFile &file, const QString &filePath);

private:
    bool fail();

    QString path;
    int fd = -1;
    int lastError = 0;
};

#endif // SESSIONFILE_H
