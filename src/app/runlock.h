#pragma once

#include <QString>

/**
 * @class RunLock
 * @brief The one thing that decides which updater works on an installation.
 *
 * An exclusive open-file-description lock (flock) on the file "update.lock" in the installation
 * directory. Whoever holds it is the only updater of that installation, whatever user runs it
 * and whatever became of the single-instance socket: the kernel takes the decision atomically,
 * so starts at the same moment cannot both win, and it releases the lock when the holder exits
 * or dies, so a crash never leaves it taken. The descriptor is close-on-exec: the client started
 * at the end of a run must not hold the lock for as long as it runs.
 *
 * The lock file is opened without following a link and must be a regular file; it is never
 * removed (removing it would let a second updater lock a new file while the first still holds
 * the old one).
 *
 * Not a Qt object; one per process, held until the process exits.
 */
class RunLock
{
public:
    enum Outcome {
        Acquired, ///< this process now holds the lock
        HeldElsewhere, ///< another process holds it: another updater is at work
        Failed ///< the lock file could not be opened or locked; see errorText()
    };

    /// A lock on the installation in @p root; nothing is opened yet.
    explicit RunLock(const QString &root);
    /// Releases the lock if held.
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    /// Tries to take the lock without waiting. Taking a lock already held returns Acquired.
    Outcome tryAcquire();

    /// Why the last tryAcquire() returned Failed.
    QString errorText() const { return error; }

    /// The lock file's name in the installation directory.
    static QString fileName();

private:
    QString lockPath;
    QString error;
    int fd = -1;
};
