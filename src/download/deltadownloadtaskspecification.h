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
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>

class BlockMatcher;
class BlockReceiver;
class Mirrors;
class MissingBlocks;
class PackedRanges;
class QNetworkAccessManager;
class QThreadPool;

/**
 * @class DeltaDownloadTaskSpecification
 * @brief Puts a new version of a file together from the blocks an installed version already
 * has and the others, fetched from the mirrors by HTTP ranges.
 *
 * execute() reads the file's block list from its side file line (and lets go of the line: a task
 * runs once; its owner makes a new one for another attempt), then, on a pool thread, scans
 * the installed file for the list's blocks (BlockMatcher). The local file gets the new file's
 * size, "%1: %2 % reused from the installed file, %3 to fetch" is sent (remote path, the share
 * of the new file found, the kilobytes left), and the missing blocks are fetched into their
 * places: up to MaxRequests requests at once, each from a mirror drawn from the pool among
 * those that answer ranges, each asking for up to MaxRangesPerRequest ranges of neighbouring
 * missing blocks at once, or for one range of a mirror found unable to send several (answers of
 * 200, 416 or 501, parts not asked for, or ranges left out). Until a mirror has answered several
 * ranges correctly in the run, one request at a time asks it for ProbeRanges of them and the
 * others for one each. A mirror that ignores a single range too is not asked for ranges again in
 * the run. What the mirrors learn this way is kept in the pool for the rest of the run. From the
 * scan on, a pool thread copies the found blocks from the installed file in order, while the
 * file is digested behind the copy and the fetched blocks, up to the first block not in it yet
 * (MD5 and SHA-256, fileDigest() and fileSha256()).
 *
 * Every block is checked against its strong digest as it arrives (BlockReceiver) and written
 * only when right. A wrong block charges the mirror that sent it one error, and it is not asked
 * for ranges again in the run (a single block cannot tell whether the mirror's file or the list
 * is wrong; the whole file it may still send is judged by its digests). A status other than 206
 * (and those above) or a part of a file of another size drops the mirror from the pool; a
 * request that breaks off, or that is too slow by its RangePace (no data for more than the
 * mirror's timeoutTicks ticks, too few bytes over the slowness window, or more ticks than its
 * size allows), charges it one error: "%1: ranges from %2 broke off (%3), fetching the rest
 * again". The blocks such a request did not deliver go back to be fetched; the ones it delivered
 * stay. A mirror found too slow for the file is given its ranges again only while no other
 * mirror has a free slot. When nothing is left to ask for, a mirror without a request for the
 * file that completed its last one more than twice as fast as a request under way for
 * PaceTicks ticks has gone takes that request's ranges over, "%1: %2 takes over the ranges of
 * the slower %3"; the slower mirror is not charged.
 *
 * When every block is in the file and digested, "Downloading %1 finished" and finished(). The
 * caller checks the whole file's digests: the strong digests per block are short, and only the
 * whole file's can vouch for it.
 *
 * Anything that keeps the delta from being made (a block list that does not read, an installed
 * file that cannot be read or changed while it was used, no mirror left that answers ranges, a
 * local file that cannot be written) does not end the run: the partial file is removed and
 * deltaFailed() tells why, the task still Running, so that its owner can reset it and fetch the
 * file whole. A user cancel ends it with UserCanceled, the partial file removed. Every run thus
 * ends with exactly one of finished(), canceled() and deltaFailed().
 *
 * Main thread only. The manager, the mirror pool and the pool thread given are not owned and
 * must outlive every run.
 */
class DeltaDownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    static constexpr int MaxRequests = 4;
    /// Ranges of one request: with its digits, some 1.5 KB of header, well within what servers
    /// accept in a request line.
    static constexpr int MaxRangesPerRequest = 64;
    /// Each request asks for at least this many bytes, unless fewer are missing; above it the
    /// missing bytes are spread over MaxRequests requests.
    static constexpr qint64 MinRequestBytes = 1024 * 1024;
    /// For a mirror asked one range at a time, missing ranges this close are asked for as one,
    /// the bytes between them fetched again: on a line of a few Mbit/s they cost less than
    /// another request's round trip, and they never make up more than half the request.
    static constexpr qint64 SingleRangeMergeGap = 16 * 1024;
    /// Ranges asked for in the first request for several of a mirror in the run.
    static constexpr int ProbeRanges = 2;
    /// Ticks a request runs before a faster mirror may take its ranges over.
    static constexpr int PaceTicks = 3;

    /**
     * Creates an idle task that puts @p remotePath (below the mirror's base URL) together at
     * @p localPath from @p installedPath and ranges fetched from @p mirrors, after the block list
     * in @p blockLine (a side file "blocks" line).
     */
    DeltaDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                   const QString &remotePath, const QString &localPath,
                                   const QString &installedPath, const QByteArray &blockLine,
                                   QObject *parent, double progressRange);
    ~DeltaDownloadTaskSpecification() override;

    /**
     * Makes the task put together the unpacked content of a gzip-stored file of @p storedSize
     * bytes: the block list describes the unpacked content, and the missing blocks are
     * inflated from the stored file's access points in @p pointsLine (GzipAccessPoints, one a
     * block), each range after the 32 KiB of the new file before it (PackedRanges): a range
     * whose bytes before are still to come waits for them, in a later request or behind an
     * earlier part of the same one. Set before execute().
     */
    void setPacked(const QByteArray &pointsLine, qint64 storedSize)
    {
        packed = true;
        this->pointsLine = pointsLine;
        this->storedSize = storedSize;
    }

    /// The pool the installed file is scanned on; the global one by default.
    void setScanPool(QThreadPool *pool) { scanPool = pool; }

    void execute() override;
    /// Drops requests (their mirror slots given back) and an unfinished scan, removes the
    /// partial file, then the base reset.
    void reset() override;
    /// Ends a running task with UserCanceled at once, the partial file removed.
    void userCanceled() override;
    /**
     * The new file's bytes in the file so far, found or fetched, of its size, and the bytes that
     * arrived from the mirrors since the previous call; @p downloading while a request is under
     * way. Counts the call as a tick for the stall rule.
     */
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;

    /// The raw MD5 and SHA-256 of the file put together by the last successful run, digested
    /// while it was; empty before one. The caller checks them instead of reading the file again.
    QByteArray fileDigest() const { return digest; }
    QByteArray fileSha256() const { return strongDigest; }

    /// The bytes of the new file found in the installed one; 0 before the scan.
    qint64 reusedBytes() const { return reused; }

signals:
    /// The delta cannot be made, for @p reason; the task stays Running until it is reset.
    void deltaFailed(QString reason);

private:
    // The installed file and the new one, open for the scan and the copy on the pool.
    struct Descriptors
    {
        int old = -1;
        int output = -1;
        ~Descriptors();
    };

    QThreadPool *pool() const;
    void onScanned();
    void startCopy();
    void onCopyProgress(int kilobytes);
    void onCopied();
    void onDigestReady(const QByteArray &md5, const QByteArray &sha256);
    // Whether @p block has its bytes in the new file: copied or fetched.
    bool inFile(int block) const;
    // Hands the digest the bytes in the file from where it stands up to the first block that
    // is not, and finishes it once all are.
    void digestMore();
    void fetchMore();
    bool startFetch();

    // Picks a mirror for a request, one found too slow for this file only when no other has a
    // free slot.
    int pickMirror(FTPSiteAccessData *mirror);
    // Ends the slowest request of another mirror when @p name, without a request of this file,
    // has shown itself much faster: its ranges go back to be taken by @p name.
    bool takeOver(const QString &name);
    // Drops the books of @p fetch, which has ended or been dropped: its slot and the blocks it
    // did not deliver given back, its bytes counted. Returns its pace.
    RangePace forget(RangeFetch *fetch);
    void onFetchEnded(RangeFetch *fetch, RangeFetch::Outcome outcome);
    void onOtherTransferFinished();
    void stop();
    void fail(const QString &reason);

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    QString remotePath;
    QString installedPath;
    QByteArray blockLine;
    QThreadPool *scanPool = nullptr;
    BlockList list;
    SessionFile output;
    std::unique_ptr<BlockReceiver> receiver;
    std::shared_ptr<BlockMatcher> matcher;
    std::shared_ptr<Descriptors> files;
    QFutureWatcher<QString> scan;
    QFutureWatcher<QString> copy;
    // How far the copy has written the found blocks, and the blocks from the start on that
    // are in the file and handed to the digest.
    qint64 copiedUpTo = 0;
    int digestedBlocks = 0;
    bool digestFinishing = false;
    GrowingFileDigest digester;
    QByteArray digest;
    QByteArray strongDigest;
    QList<RangeFetch *> fetches;
    std::unique_ptr<MissingBlocks> missing;
    qint64 reused = 0;
    qint64 arrivedSinceTick = 0;
    // Per request under way: how it keeps up.
    QHash<RangeFetch *, RangePace> paces;
    // Bytes a tick of each mirror's last complete request, and the mirrors found too slow.
    QHash<QString, qint64> shownPace;
    QSet<QString> slowMirrors;
    // Per request under way: the ranges of the new file it brings.
    QHash<RangeFetch *, QList<QPair<qint64, qint64>>> askedBlocks;
    bool packed = false;
    QByteArray pointsLine;
    std::unique_ptr<PackedRanges> packedRanges;
    qint64 storedSize = 0;
    // Mirrors with a first request for several ranges under way.
    QSet<QString> probing;
    bool waitingForSlot = false;
};
