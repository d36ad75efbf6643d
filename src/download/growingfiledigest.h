#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QThreadPool;

/**
 * @class GrowingFileDigest
 * @brief The MD5 (and SHA-256) of a file while it is being written, computed on a thread pool.
 *
 * The writer calls start() once the file is open, grown() after each write, and finish() when
 * the file is complete; ready() then delivers the digest of the file's first bytes up to the
 * size given to finish(). Hashing reads back what was written (from the page cache, moments
 * after the write) on a pool thread, one job at a time for each file, so that the digest costs
 * the thread that reads the network nothing, and memory does not grow with a hash that falls
 * behind: the backlog stays in the file. Bytes the file held before start() (kept from an
 * earlier attempt or run) are hashed from disk like any others.
 *
 * A file that is installed as it is has to be on disk before it is installed. So that the
 * installation does not wait for the disk to write it all at once, each job starts the
 * write-back of the bytes it read, without waiting for it (setStartWriteBack()). Jobs start once at
 * least 1 MiB of new bytes is there, and for the rest of the file at finish().
 *
 * ready() comes from the event loop, exactly once per finish(), unless start() or stop() is
 * called first or the object is destroyed; the digest is empty when the file could not be read
 * to the end. A job that is running when its file is dropped goes on to its end on the pool
 * thread and its result is ignored.
 *
 * Main thread only (apart from the pool jobs, which share nothing with it while they run).
 */
class GrowingFileDigest : public QObject
{
    Q_OBJECT

public:
    explicit GrowingFileDigest(QObject *parent = nullptr);
    ~GrowingFileDigest() override;

    /**
     * Runs the jobs on @p pool (not owned; it must outlive every job started on it) instead of
     * the global pool, whose waits (QThreadPool::waitForDone()) then need not wait for hashing.
     */
    void setPool(QThreadPool *pool) { jobPool = pool; }
    /// Whether jobs start the write-back of what they read (the default), for a file that is
    /// to be synced later; takes effect with the next start().
    void setStartWriteBack(bool start) { writeBack = start; }
    /// Whether the SHA-256 is computed too, from the same reads; takes effect with the next
    /// start().
    void setWithSha256(bool with) { withSha256 = with; }

    /// Drops the current file, if any, and begins to digest the file at @p path from its first
    /// byte. The file must exist; it holds @p size bytes so far.
    void start(const QString &path, qint64 size = 0);
    /// The file now holds @p size bytes; they are digested in the background.
    void grown(qint64 size);
    /// The file is complete with @p size bytes: ready() follows once they are digested.
    void finish(qint64 size);
    /// Drops the current file: no ready() for it.
    void stop();

signals:
    /// The raw MD5 of the file's first bytes up to the size given to finish(), and their raw
    /// SHA-256 when asked for (else empty); both empty when the file could not be read that far.
    void ready(const QByteArray &digest, const QByteArray &sha256);

private:
    struct Progress;
    class Job;

    void startJob();
    void onJobDone(const std::shared_ptr<Progress> &job, bool readable);

    QThreadPool *jobPool = nullptr;
    bool writeBack = true;
    bool withSha256 = false;
    std::shared_ptr<Progress> progress;
    // The file's size as the writer last reported it.
    qint64 written = 0;
    bool jobRunning = false;
    bool finishing = false;
    // Counts the files dropped, so that a ready() already queued for one is not delivered.
    quint64 generation = 0;
};
