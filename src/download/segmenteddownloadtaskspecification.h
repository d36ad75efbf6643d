#pragma once

#include "download/growingfiledigest.h"
#include "download/rangefetch.h"
#include "download/rangepace.h"
#include "fileops/sessionfile.h"
#include "manifest/blocklist.h"
#include "tasks/taskspecification.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <memory>

class BlockReceiver;
class Mirrors;
class QNetworkAccessManager;
class QThreadPool;
class SegmentPlan;

/**
 * @class SegmentedDownloadTaskSpecification
 * @brief Fetches one large file from every mirror at once: each mirror sends a segment of it,
 * by range, into its place in the local file.
 *
 * execute() sends "Downloading %1" and asks the pool for a mirror that answers ranges, again and
 * again, one request a mirror, until no other mirror has a free slot; whenever a transfer of the
 * manager ends, and at every tick, it asks again, so that a mirror busy with other files at
 * first joins later. The first request takes all that is missing; each further one takes half
 * of what the request with the most bytes left has left (SegmentPlan). So does a request that
 * has finished its segment, while no split leaves less than the minimum (setMinimumSplit()) on
 * either side. The file is digested (MD5, and SHA-256 when asked for) on a pool thread as its first
 * bytes fill up, as a whole download's is. When nothing is left worth splitting, a mirror that
 * completed its last segment more than twice as fast as the request with the most bytes left has
 * gone (over PaceTicks ticks at least, and still sending) takes that segment over, "%1: %2 takes
 * over the rest of the segment from the slower %3"; the slower mirror is not charged. Each tick
 * asks again.
 *
 * With the file's block list (setBlockLine()) every block is checked against it as it arrives
 * (BlockReceiver) and only a right one is written: a wrong block charges its mirror one error,
 * and it is not asked for ranges again in the run. Bytes the file held at the start (a whole
 * download's, an earlier run's) are read back and checked on the digest pool before anything is
 * fetched; the segments hold them only up to their first wrong block, and only whole blocks.
 * A wrong one charges the mirror named by setKeptFrom() the same way, "%1: block %2 that mirror
 * %3 sent before the split failed its check, not asking it for ranges again", or, from an
 * earlier run, is only fetched again. Without a list, only the digest of the whole file can
 * tell, and the file counts as pieced together from several answers (wasResumed()).
 *
 * Each request is judged on its own, as a whole download is: a status other than 206 or a part
 * of a file of another size drops the mirror; a mirror that ignores the range (a 200 with the
 * whole file, or another range) is not asked for ranges again; an answer that breaks off or is
 * too slow by its RangePace (no data for more than the mirror's timeoutTicks ticks, too few
 * bytes over the slowness window, or more ticks than its size allows) charges it one error. The
 * bytes it delivered stay; the rest of its segment goes to the next mirror that asks. When the
 * mirrors left answer no ranges, the task sends wholeFileNeeded() and stays Running, its file cut
 * back to its first bytes and no longer segmented, so that its owner can reset it and download the
 * rest as a whole download resumes a file.
 *
 * The segments survive the run: next to the file, at controlPath(), a few lines say which of its
 * bytes are in it. They are rewritten at most once a tick and whenever a request ends, before the
 * bytes written meanwhile are on disk, which only the file's digest can tell anyway. A run finds
 * them and goes on where the last one stopped; a file of first bytes without them (a whole
 * download's) is continued likewise. A user cancel keeps both; a reset of a running task removes
 * them, as success removes the lines.
 *
 * Ends with finished() once every byte is in the file and digested; with ErrorCanceled when the
 * pool has no mirror left or the file cannot be created or written (the disk's fault: no mirror
 * is charged, the bytes stay); with UserCanceled at once on a user cancel. Every run ends with
 * exactly one of finished(), canceled() and wholeFileNeeded().
 *
 * Main thread only. The manager and the pool are not owned and must outlive every run.
 */
class SegmentedDownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    /// No split leaves less than this on either side, unless setMinimumSplit() says otherwise.
    static constexpr qint64 DefaultMinimumSplit = 4 * 1024 * 1024;
    /// Segments without a block list start on this boundary.
    static constexpr qint64 Alignment = 64 * 1024;
    /// Ticks a request runs before its pace is judged.
    static constexpr int PaceTicks = 3;

    /// Creates an idle download of @p remotePath of @p size bytes into @p localPath.
    SegmentedDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                       const QString &remotePath, const QString &localPath,
                                       qint64 size, QObject *parent, double progressRange);
    ~SegmentedDownloadTaskSpecification() override;

    /// The side file "blocks" line of the file, to check each block as it arrives.
    void setBlockLine(const QByteArray &line) { blockLine = line; }
    void setMinimumSplit(qint64 bytes) { minimumSplit = bytes; }
    void setSlowTransferLimit(qint64 bytesPerTick, int windowTicks);
    /// Where the file's digest and the check of the bytes it holds at the start run; the
    /// global pool by default.
    void setDigestPool(QThreadPool *pool)
    {
        digester.setPool(pool);
        checkPool = pool;
    }
    /// The mirror that sent every byte the file holds at the start, when one did.
    void setKeptFrom(const QString &mirrorName) { keptFrom = mirrorName; }
    void setStartWriteBack(bool start) { digester.setStartWriteBack(start); }
    void setWithSha256(bool with) { digester.setWithSha256(with); }

    /// Where the lines about the segments of the file at @p localPath are kept.
    static QString controlPath(const QString &localPath);

    QByteArray fileDigest() const { return digest; }
    QByteArray fileSha256() const { return sha256; }
    /// Whether bytes of more than one answer are in the file and no block list checked them:
    /// then no single mirror can be blamed for a wrong digest.
    bool wasResumed() const;
    /// The mirror that sent every byte of the file, when one did; empty otherwise.
    QString servingMirrorName() const;

    void execute() override;
    /// Drops the requests (slots given back); a running task's file and lines are removed.
    void reset() override;
    /// Ends a running task with UserCanceled at once; its file and lines stay for the next run.
    void userCanceled() override;
    /// The bytes in the file of its size, those that arrived since the previous call; a tick
    /// for the stall and slowness rules of every request.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

signals:
    /// No mirror left answers ranges; the rest of the file must come by a whole download.
    void wholeFileNeeded(QString reason);

private:
    struct Request
    {
        qint64 start = 0;
        RangePace pace;
    };

    bool openFile();
    // Reads back the bytes the file held at the start, and checks them against the block list.
    void checkKeptBytes();
    void onKeptChecked();
    void startFetching();
    void fetchMore();
    bool startRequest();
    void onRequestEnded(RangeFetch *fetch, RangeFetch::Outcome outcome);
    void onOtherTransferFinished();
    qint64 takeOver(const QString &mirrorName);
    // Drops the books of @p fetch: its slot and segment given back, its bytes counted.
    Request forget(RangeFetch *fetch);
    void onDigestReady(const QByteArray &md5, const QByteArray &strong);
    void followWithDigest();
    // Every byte is in the file: the digest catches up, then the run ends.
    void finishFile();
    // Ends the requests and the digest, the file and its lines kept for the next run.
    void keepForNextRun();
    void saveControl();
    void dropRequests();
    void failLocally();
    QSet<QString> busyMirrors() const;

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    QString remotePath;
    SessionFile output;
    qint64 size;
    QByteArray blockLine;
    qint64 minimumSplit = DefaultMinimumSplit;
    RangePace::Rule paceRule;
    std::unique_ptr<SegmentPlan> plan;
    BlockList list;
    std::unique_ptr<BlockReceiver> receiver;
    QThreadPool *checkPool = nullptr;
    QString keptFrom;
    // For each of the plan's held() ranges, how far its bytes proved right.
    QFutureWatcher<QList<qint64>> keptCheck;
    bool checkingKept = false;
    QHash<RangeFetch *, Request> requests;
    GrowingFileDigest digester;
    qint64 digestedUpTo = 0;
    bool digestFinishing = false;
    QByteArray digest;
    QByteArray sha256;
    // The mirrors whose answers brought bytes, and whether any bytes came from an earlier run.
    QSet<QString> senders;
    // Bytes per tick of each mirror's last request that completed its segment.
    QHash<QString, qint64> shownPace;
    bool keptBytes = false;
    qint64 arrivedSinceTick = 0;
    QByteArray savedControl;
    bool waitingForSlot = false;
};
