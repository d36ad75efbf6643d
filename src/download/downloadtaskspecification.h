#pragma once

#include "download/ftpsiteaccessdata.h"
#include "download/growingfiledigest.h"
#include "download/gzipbody.h"
#include "download/mirrorconnection.h"
#include "download/slowtransferwatch.h"
#include "fileops/sessionfile.h"
#include "tasks/taskspecification.h"

#include <QByteArray>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QThreadPool;

/**
 * @class DownloadTaskSpecification
 * @brief Fetches one file from one of the run's mirrors into one local file.
 *
 * execute() sends "Downloading %1", takes a mirror from the pool and issues a plain GET for the
 * mirror's base URL, "/" and the remote path through the shared network access manager. The body
 * is written to the local file as it arrives: at each readyRead() everything the reply holds is
 * read and written with one call. The reply buffers at most ReadBufferSize bytes, so memory use
 * does not grow with the file. The file is digested (MD5) as it grows, on a pool thread
 * (GrowingFileDigest), so that it need not be read again to be checked (fileDigest()); bytes kept
 * from an earlier attempt are digested from disk meanwhile. Redirects are never followed.
 * bytesReceived counts the bytes in the file, resumed ones included, so the progress and
 * timeTick()'s done figure count them as done, while the speed counts only what arrives.
 *
 * The remote path is percent-encoded segment by segment, so any file name reaches the server
 * as written.
 *
 * Every failed attempt starts over on a mirror drawn anew from the pool:
 * - an HTTP status other than 200 (redirects included) or a demand for authentication drops the
 *   mirror from the pool at once;
 * - a transfer error, a read error, a body longer than allowed (see below), a body
 *   shorter than its known size (the one given at construction, else the server's length
 *   header), a stall of more than the mirror's timeoutTicks engine ticks without body data, or a
 *   transfer averaging under MinBytesPerTick bytes per tick over SlowWindowTicks ticks charges
 *   the mirror with one error, which drops it once it has failed too often.
 *
 * Resuming. A download with a size given at construction is resumable unless setResumable(false)
 * was called. When a transfer error, a read error, a stall, a slow transfer or a short body ends
 * its attempt, the bytes received stay in the file and the next attempt asks for the rest with
 * "Range: bytes=N-", sending "Resuming %1 at %2 KB from %3" (remote path, N / 1000, mirror name).
 * execute() likewise takes a file shorter than the size left by an earlier run as the first N
 * bytes. The answer to a ranged request is judged by RangeRequest::judge(): a 206 whose
 * Content-Range runs from N to the size minus one is appended; a 200 empties the file and is taken
 * whole; a 416 or any other 206 empties the file and starts a whole download without charging
 * anyone; any other status empties the file and drops the mirror as above. Every other failure
 * starts from an empty file. wasResumed() tells the caller that the delivered file holds bytes of
 * more than one answer, so that a wrong digest cannot be blamed on the last mirror alone. The
 * explanation of each failed attempt goes out through message(). There is no retry limit of the
 * task's own: it ends with ErrorCanceled only when the pool has no mirror left (the pool says so
 * itself, once), when the local file cannot be created ("Unable to create file %1 for saving") or
 * written, or when the manager gives no reply ("Download failed to initialize"); all but the first
 * are sent through error(). A local file that cannot be written is the local disk's fault
 * (SessionFile::diskErrorMessage(), "Not enough disk space in %1 to store %2" for a full one):
 * no mirror is charged, and the bytes written so far stay for the next run.
 *
 * The local file is a SessionFile: created anew, never written through a link, and continued
 * only while it is a regular file of this user with no other name. Success is "Downloading %1
 * finished", then finished(). Exactly one of finished() and canceled() ends every run, possibly
 * from inside execute().
 *
 * While every mirror slot is in use the task waits, Running and without a reply, and tries again
 * each time any reply of the manager has finished.
 *
 * A body longer than the expected size given at construction, or, when that size is unknown,
 * longer than the cap set with setUnknownSizeLimit(), fails the attempt with "%1 sent more than
 * the expected %2 bytes": a mirror streaming without end must not fill the disk, and the stall
 * time-out never fires while bytes flow.
 *
 * The task holds at most one mirror reservation at a time and gives it back exactly once: when
 * the body is complete, when an attempt is abandoned, on user cancel and on reset(). It does not
 * give it back when destroyed, since the pool may already be gone by then.
 *
 * Main thread only. The manager and the pool are not owned and must outlive every run.
 */
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    /// Body bytes the reply may buffer before it stops reading from the network.
    static constexpr qint64 ReadBufferSize = 256 * 1024;
    /// A transfer that averages fewer body bytes per engine tick (one second) than this over
    /// SlowWindowTicks ticks is abandoned like a stalled one (SlowTransferWatch).
    static constexpr qint64 MinBytesPerTick = SlowTransferWatch::DefaultMinBytesPerTick;
    static constexpr int SlowWindowTicks = SlowTransferWatch::DefaultWindowTicks;

    /**
     * Creates an idle download of @p remotePath (below the mirror's base URL, without a leading
     * "/") into the local file @p localPath. @p expectedSize is the size in bytes, or -1 when it
     * is unknown; a known size drives the progress and bounds the body. @p progressRange is the
     * task's share of its parent's progress.
     */
    DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                              const QString &remotePath, const QString &localPath,
                              qint64 expectedSize, QObject *parent, double progressRange);
    /// Abandons an outstanding transfer; the local file is closed but not deleted.
    ~DownloadTaskSpecification() override;

    /**
     * Bounds the body of a download whose size was not given at construction: an attempt that
     * receives more than @p maxBytes bytes fails like a transfer error. 0 or less (the default)
     * sets no bound. Has no effect when the size is known.
     */
    void setUnknownSizeLimit(qint64 maxBytes);

    /**
     * Replaces the slowness rule (MinBytesPerTick over SlowWindowTicks) for this task; tests
     * shorten the window so as not to wait for the real one.
     */
    void setSlowTransferLimit(qint64 bytesPerTick, int windowTicks);

    /// Milliseconds a request may take to leave over a connection that has answered before it
    /// is taken for queued on one the server has ended (Mirrors::waitsOnEndedConnection()).
    static constexpr int UnsentLimitMs = 50;

    /// The pool that digests the file (GrowingFileDigest::setPool()); the global one by default.
    void setDigestPool(QThreadPool *pool) { digester.setPool(pool); }
    /// Whether the file's write-back to disk is started as it is digested (the default; see
    /// GrowingFileDigest::setStartWriteBack()).
    void setStartWriteBack(bool start) { digester.setStartWriteBack(start); }
    /// For a file a release may lack: a 404 ends the download at once, as a failure, without
    /// holding it against the mirror or asking the others.
    void setMissingIsAnswer(bool answer) { missingIsAnswer = answer; }
    /// Whether the SHA-256 is computed as well, in the same reads (fileSha256()).
    void setWithSha256(bool with) { digester.setWithSha256(with); }

    /**
     * For metadata published also gzip-compressed: each attempt asks for the remote path with
     * ".gz" appended, and what the body inflates to (GzipBody) is the file, digested and
     * counted as the download's bytes. The bound of the body (the size given at construction,
     * else the unknown size limit) bounds what it inflates to; a body that is no gzip data, ends
     * before its trailer or inflates beyond the bound fails the attempt like a transfer error.
     * A mirror answering 404 for it is asked for the plain file at once in the same attempt,
     * uncharged, and is asked for the plain forms from then on (Mirrors::
     * noteLacksCompressedMetadata()). Such a download does not resume. Set before execute().
     */
    void setCompressedFirst(bool compressed) { compressedFirst = compressed; }
    /**
     * Ends the download with ErrorCanceled after @p attempts failed attempts, each on a mirror
     * that neither an earlier attempt of the run nor @p failedBefore failed, and as soon as no
     * such mirror is left. A 404 then charges the mirror one error instead of dropping it: a
     * file a release may lack on some mirrors must not cost the run its mirrors. 0 (the
     * default) sets no bound.
     */
    void setAttemptLimit(int attempts, const QSet<QString> &failedBefore = {});

    /// The mirror that delivered the file of the last successful run; empty before one and
    /// while a run is under way. Lets the caller drop a mirror whose file fails its check.
    QString servingMirrorName() const { return servingMirror; }
    qint64 unknownSizeLimit() const { return unknownSizeCap; }

    /**
     * The MD5 digest (raw bytes) of the whole local file as written by the last successful run;
     * empty before one, while a run is under way, and when the file could not be read back. A
     * caller checking the file may trust it instead of reading the file again.
     */
    QByteArray fileDigest() const { return digest; }
    /// The raw SHA-256 of the same bytes when setWithSha256() asked for it, else empty.
    QByteArray fileSha256() const { return sha256; }

    /// Starts the download: message "Downloading %1", state Running, first attempt.
    void execute() override;
    /// Abandons any attempt (partial file deleted, mirror given back), then the base reset.
    void reset() override;

    /**
     * Allows or forbids resuming (allowed by default; it needs a size given at construction).
     * A download that is not resumable starts every attempt from an empty file and ignores a
     * partial file on disk. Set before execute().
     */
    void setResumable(bool allowed) { resumable = allowed; }
    /// True when the file of the last successful run was pieced together from more than one
    /// answer (a 206 was appended); false before one.
    bool wasResumed() const { return resumed; }
    /// True when every failed attempt of the last run was a mirror answering 404: the file is on
    /// none of the mirrors tried (a release not yet there, or a version that does not exist).
    bool notFoundOnMirrors() const
    {
        return failedAttempts > 0 && notFoundAnswers == failedAttempts;
    }

    /**
     * Writes the bytes received in the current attempt, the expected size (0 when unknown), the
     * bytes received since the previous call, and sets @p downloading while a transfer is alive.
     * Counts the call as one tick without data unless body data arrived since the previous one;
     * after more than the mirror's timeoutTicks such ticks the attempt is abandoned and retried,
     * and @p downloading is left as it was.
     */
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;
    /**
     * Records the request; a running task abandons its attempt (the mirror given back) and ends
     * with UserCanceled at once. The partial file of a resumable download stays for the next
     * run to resume; any other is deleted.
     */
    void userCanceled() override;
    /**
     * Ends a running attempt (the mirror given back), keeping the bytes received for another
     * download to continue the file from; the task stays Running until it is reset. Returns
     * the mirror that sent every byte kept, to be charged should one of them prove wrong; empty
     * when bytes of an earlier attempt or run are among them, or none came.
     */
    QString handOver();

protected:
    /**
     * Called once the body is complete, the file closed, the mirror given back and the file's
     * digest known: message "Downloading %1 finished", finish(). Subclasses may extend it; they
     * must end the run.
     */
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDrain();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onDigestReady(const QByteArray &fileDigest, const QByteArray &fileSha256);
    void onOtherDownloadFinished(QNetworkReply *reply);
    void onConnectionEnded(const QString &name, int connection);

private:
    // Whether a failed attempt's bytes may be resumed: only a broken transfer leaves a file
    // whose bytes are known to be a prefix of what the mirror had.
    enum PartialBytes { DiscardPartial, KeepPartial };

    void startDownload();
    // Sends the request of the current attempt to the mirror it holds, into the local file
    // opened for it, or as it is when an answer refused unread leaves it empty and open.
    enum FileUse { OpenFile, KeepFile };
    void sendRequest(FileUse use = OpenFile);
    // Writes a piece of the body (inflated first for a compressed one) to the file.
    bool writeBody(const char *data, qint64 count);
    // The path asked for: the remote path, with ".gz" for the compressed form.
    QString requestPath() const;
    void errorRetry(const QString &explanation, PartialBytes partial = DiscardPartial);
    // Sends the request again after the mirror refused it unprocessed (a
    // MirrorConnection::Ending), or after asking it in a protocol it does not speak (Answered).
    void retryRefused(MirrorConnection::Ending ending);
    void failLocally(int reason);
    bool readData();
    bool takeAnswer();
    bool openFile();
    void takePartialFile();
    bool canResume() const;
    void resetDownload(PartialBytes partial = DiscardPartial);
    void releaseHeldMirror();
    void dropReply();
    QString remoteUrl() const;
    QUrl requestUrl() const;
    qint64 bodyLimit() const;

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    // Guarded: the manager deletes its replies when it goes, possibly before this task.
    QPointer<QNetworkReply> reply;
    int idleTicks = 0;
    QString remotePath;
    SessionFile file;
    // Follows the local file of the current attempt from its first byte.
    GrowingFileDigest digester;
    QByteArray digest;
    QByteArray sha256;
    bool missingIsAnswer = false;
    // Reused for every read, so the loop allocates nothing per step.
    QByteArray buffer;
    // The reply that asked for a read of everything it holds, while that read is on its way
    // through the event loop.
    QNetworkReply *drainReply = nullptr;
    qint64 lastTickBytes = 0;
    qint64 expectedSize;
    qint64 initialExpectedSize;
    qint64 bytesReceived = 0;
    FTPSiteAccessData mirror;
    qint64 unknownSizeCap = 0;
    QString servingMirror;
    SlowTransferWatch slowWatch;
    bool resumable = true;
    bool resumed = false;
    // The first byte asked for by the current request; 0 for the whole file.
    qint64 requestOffset = 0;
    // Whether the current request has left for the mirror: one that waits long on a connection
    // that answered before waits on one the server has ended.
    bool requestLeft = false;
    QTimer unsentCheck;
    // Whether the status of the current answer was judged and found usable.
    bool answerTaken = false;
    // Failed attempts of this run, and how many of them were a 404.
    int failedAttempts = 0;
    int notFoundAnswers = 0;
    bool compressedFirst = false;
    // Whether the current request asks for the compressed form, and the body's inflating.
    bool requestCompressed = false;
    GzipBody gzip;
    qint64 compressedBytes = 0;
    int attemptLimit = 0;
    QSet<QString> failedBeforeRun;
    QSet<QString> failedMirrors;
};
