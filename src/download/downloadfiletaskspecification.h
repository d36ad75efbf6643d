#pragma once

#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QString>

class BlockListDownloadTaskSpecification;
class CheckSignatureTaskSpecification;
class Configuration;
class DeltaDownloadTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QThreadPool;
class SegmentedDownloadTaskSpecification;

/**
 * @class DownloadFileTaskSpecification
 * @brief Brings one product file into the session's temporary directory and checks its MD5.
 *
 * A run is two subtasks, one after the other: a DownloadTaskSpecification (share 0.8) of
 * section "/" filePath below the mirror's base URL into tempDir "/" filePath, with the record's
 * size as the expected size, then a non-fatal MD5 check of the local file (share 0.2), which
 * compares the digest the download computed while writing the file (DownloadTaskSpecification::
 * fileDigest()) and reads the file only when the download has none. A positive size bounds the
 * body; a size of 0 (also what a size that is not a number reads as) sets no bound, the MD5
 * check alone decides, and a body without end ends at a full disk like any write error.
 *
 * When the digest is wrong, the mirror that delivered the file is dropped from the pool whatever
 * its error allowance ("md5 sum for %1 failed, invalidating mirror and retrying") and the run
 * starts over with fresh subtasks on a mirror drawn anew. Such a restart passes through Idle
 * without emitting finished() or canceled(). There is no limit of its own: every failure costs
 * one mirror, so the retries end when the file arrives intact or the pool is empty, and then the
 * download ends in ErrorCanceled and this task with it. The delivering mirror is recognised by
 * the URL of the last successful reply of the shared manager for this file; should none have
 * been seen, the task ends with ErrorCanceled ("md5 sum for %1 failed, mirror unknown") rather
 * than risk fetching from the same mirror without end.
 *
 * A file pieced together from more than one answer (DownloadTaskSpecification::wasResumed())
 * that fails its digest charges no mirror: it is deleted, "md5 sum for %1 failed on a resumed
 * download, fetching it whole" is sent, and it is fetched once more with a download that does
 * not resume. Only a whole file's wrong digest costs its mirror.
 *
 * Delta. A record that names an installed older version of the file and carries the file's
 * block list (FileDownloadSpecification::installedPath and blockLine) is first put together from
 * the installed file's blocks and ranges of the mirrors (DeltaDownloadTaskSpecification) in
 * place of the download, and checked with the digests taken while it was. For a file stored
 * compressed (with its access points and unpacked digests) the unpacked content is put together,
 * at unpackedPath(), and checked against the unpacked MD5 and SHA-256; whatever lay there before
 * is removed when an attempt starts. When the delta cannot be made, or the
 * file put together fails its check (no mirror is charged for that: every block was checked
 * against the list as it arrived), "%1: fetching the whole file (%2)" is sent (file path,
 * reason) and the file is downloaded whole, as a record without a block list would be. Only
 * once per task: the whole download is the answer to any failure of the delta.
 *
 * Segments. A file of at least the configuration's segmentFrom bytes (not 0) with two or more
 * mirrors that answer ranges, or one whose segments an earlier run left, is fetched from all of
 * them at once (SegmentedDownloadTaskSpecification), checked block by block when the record
 * carries its block list. Unless the configuration's segmentPace is 0, it starts as a whole
 * download, and only one that comes at less than segmentPace bytes a tick for
 * SlowTicksBeforeSplit ticks in a row is handed over ("%1 comes slowly, fetching it from every
 * mirror at once"), its bytes so far kept as the file's first ones. A segmented file that fails its
 * digest counts as pieced together: it is fetched whole. When no mirror left answers ranges, "%1:
 * fetching the rest whole (%2)" is sent and a whole download resumes the file's first bytes.
 *
 * Block lists apart. A record with a list binding (FileDownloadSpecification::listSha256) but
 * no block line, whose attempt would put the file together from blocks or fetch it in segments,
 * first brings the list file (remotePath() and SideFile::ListSuffix) to listPath()
 * (BlockListDownloadTaskSpecification; one kept there that matches the binding is taken as it
 * is), reads the file's lines from it and goes on as with lines from the side file. A list that
 * cannot be had is tried no more: "%1: its block list cannot be had; fetching the file without
 * it" is sent, and the file is fetched without the list. Files that use no list fetch none.
 *
 * A wrong digest found after a user cancel was requested ends the run with UserCanceled at once
 * (mirror dropped, the wrong file deleted): it must neither count as a verified file nor start a
 * download the user no longer wants.
 *
 * A filePath that is empty, absolute, names no file or contains a ".." component would leave
 * the temporary directory; such a task sends "invalid file path %1" and ends with ErrorCanceled
 * without touching the disk or the network. The directory of the local file must exist.
 *
 * Every run ends with exactly one finished() or canceled(), possibly from inside execute().
 * Main thread only; the manager, the pool and the configuration are not owned and must outlive
 * the task.
 */
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr double DownloadShare = 0.8;
    static constexpr double CheckShare = 0.2;

    /**
     * Creates an idle task for a copy of @p download; @p configuration supplies tempDir when
     * the task runs. @p parentProgressRange is the task's share of its parent's progress.
     */
    DownloadFileTaskSpecification(const FileDownloadSpecification &download,
                                  QNetworkAccessManager *manager, Mirrors *mirrors,
                                  Configuration *configuration, QObject *parent,
                                  double parentProgressRange);

    /// Starts the download and check subtasks. Sends no message of its own.
    void execute() override;
    /// The subtasks' sums; a whole download that may be split and comes slowly is handed over
    /// to a segmented one.
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                  bool &downloading) override;
    /// Ticks a whole download must come slowly before it is split.
    static constexpr int SlowTicksBeforeSplit = 2;

    /**
     * Gives up the current attempt: a running download gives its mirror slot back and deletes
     * its partial file, the subtasks are discarded (deferred deletion), then the base reset.
     * A check still running on the pool is abandoned, not waited for.
     */
    void reset() override;

    /// The pool the download digests the file on (DownloadTaskSpecification::setDigestPool()).
    void setDigestPool(QThreadPool *pool) { digestPool = pool; }

    /// Path of the file below the mirror's base URL: section "/" filePath.
    QString remotePath() const;
    /// Path of the local copy: tempDir "/" filePath.
    QString localPath() const;
    /**
     * Where the unpacked content of a compressed file put together from blocks lies:
     * localPath() and FileDownloadSpecification::UnpackedSuffix. The installation takes it in
     * place of the download.
     */
    QString unpackedPath() const;
    /// Where the file's block list file is kept: localPath() and SideFile::ListSuffix.
    QString listPath() const;
    const FileDownloadSpecification &fileSpecification() const { return download; }

    /**
     * True when @p filePath names a file below the directory it is taken relative to: not
     * empty, not absolute, without a ".." component and with a last component other than ""
     * and ".".
     */
    static bool isSafeFilePath(const QString &filePath);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);
    void onDeltaFailed(const QString &reason);
    void onWholeFileNeeded(const QString &reason);
    void onListDone(bool got);

private:
    // @p resumable: whether the download may piece the file together from several answers.
    // @p keptFrom: the mirror whose whole download left the bytes a split starts from.
    void makeSubtasksAndStart(bool resumable, const QString &keptFrom = QString());
    // Whether this attempt puts the file together from the installed one's blocks.
    bool usesDelta() const;
    // Whether this attempt fetches the file of @p size bytes in segments from every mirror.
    bool usesSegments(qint64 size) const;
    // Whether two or more mirrors answer ranges.
    bool splittable() const;
    // Whether this attempt must first fetch the file's block list.
    bool needsList(bool resumable, qint64 size) const;
    // Takes the file's lines from the checked list file; false when it holds none.
    bool readList();

    void fetchWhole(const QString &reason);

    FileDownloadSpecification download;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    // Guarded: a discarded subtask is deleted by the event loop.
    QPointer<DownloadTaskSpecification> downloadTask;
    QPointer<DeltaDownloadTaskSpecification> deltaTask;
    QPointer<SegmentedDownloadTaskSpecification> segmentTask;
    QPointer<BlockListDownloadTaskSpecification> listTask;
    // The list was fetched or given up on: it is not asked for again.
    bool listTried = false;
    // What the attempt that waits for the list was started with.
    bool listResumable = true;
    QString listKeptFrom;
    bool deltaTried = false;
    bool segmentsTried = false;
    // Whether the whole download under way may be split over the mirrors, and for how many
    // ticks in a row it has come slowly.
    bool mayStillSplit = false;
    bool splitNow = false;
    int slowTicks = 0;
    quint64 doneBefore = 0;
    QThreadPool *digestPool = nullptr;
};
