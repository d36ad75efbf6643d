#pragma once

#include "download/ftpsiteaccessdata.h"

#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QString>
#include <QVector>

class QSettings;

/**
 * The download mirrors known for one update run.
 *
 * Filled once, by initDefault() from mirrors.ini or by initAlpha() from the alpha channel's base
 * URL, and never refilled: afterwards records only change their counters or disappear. Downloads
 * ask getRandomMirror() for a mirror, which reserves one of its connection slots; they give it
 * back with releaseMirror(), charge failures with addMirrorError() and drop a mirror at once with
 * removeMirror(). A mirror charged with more errors than its `retries` is dropped for the rest of
 * the run.
 *
 * Every operation by name acts on the first mirror of that name and does nothing when no mirror
 * of that name is left; that is the normal case for a download still holding the record of a
 * mirror that was dropped meanwhile.
 *
 * Main thread only; the pool has no locks.
 */
class Mirrors : public QObject
{
    Q_OBJECT

public:
    /// Result of getRandomMirror().
    enum MirrorResult {
        MirrorAssigned = 0, ///< a mirror was reserved and copied into the caller's record
        NoMirrorLeft = 1, ///< the pool is empty; downloads cannot go on
        AllMirrorsBusy = 2, ///< every slot is in use; wait for another download to end
        NoRangeMirror = 3 ///< (getRandomRangeMirror()) no mirror left answers range requests
    };

    /**
     * Creates an empty pool. Its random generator is seeded with the current time in seconds,
     * so every run draws its own sequence; seed() replaces that seed.
     */
    explicit Mirrors(QObject *parent = nullptr);

    /// Restarts the random sequence of the mirror choice from @p value.
    void seed(quint32 value);

    /**
     * Fills the pool from the mirror list at @p iniPath for target version @p version: one
     * mirror per entry of the array "mirrors", in list order, with the "url" and "retries" of
     * the group named like the entry. Entries without a name are skipped: they have no group
     * and could not be told apart from "no mirror held". A missing file gives an empty pool.
     * Always returns true.
     */
    bool initDefault(const QString &iniPath, int version);

    /**
     * Fills the pool with the single mirror "Alpha Channel" from the key "alpha" of the group
     * "Channel" in the local settings file at @p updateIniPath. It has 4 retries and one slot
     * whatever its scheme. When the key is missing or empty, emits fatalError() and returns
     * false, leaving the pool empty.
     */
    bool initAlpha(const QString &updateIniPath, int version);

    /**
     * Second pass of initDefault(): reads each listed mirror's group from @p settings (URL,
     * slots by scheme, retries) and appends "/" and @p version to its URL.
     */
    void setDefaults(QSettings &settings, int version);

    /**
     * Picks a mirror at random, weighted by its free slots, and reserves one slot of it.
     * @return MirrorAssigned after copying the mirror's record (with its new useCount) into
     * @p mirror; NoMirrorLeft when the pool is empty, emitting the message "There are no (more)
     * known working mirrors available" the first time only; AllMirrorsBusy when no slot is free.
     * @p mirror is unchanged unless a mirror was assigned.
     */
    int getRandomMirror(FTPSiteAccessData &mirror);
    /// Like getRandomMirror(), among the mirrors not named in @p avoid; AllMirrorsBusy also when
    /// only those are left (hasMirrorBesides() tells the two apart).
    int getRandomMirror(FTPSiteAccessData &mirror, const QSet<QString> &avoid);
    /// Whether a mirror not named in @p avoid is left.
    bool hasMirrorBesides(const QSet<QString> &avoid) const;
    /// Mirror @p name lacks the compressed forms of the release's metadata: later downloads get
    /// its record with lacksCompressedMetadata set.
    void noteLacksCompressedMetadata(const QString &name);

    /**
     * Like getRandomMirror(), among the mirrors that answer range requests only (those not
     * lowered to NoRanges) and are not named in @p avoid; NoRangeMirror when mirrors are left
     * but none of them answers ranges, AllMirrorsBusy when those that do have no free slot or
     * are to be avoided.
     */
    int getRandomRangeMirror(FTPSiteAccessData &mirror, const QSet<QString> &avoid = {});

    /**
     * Gives one slot of mirror @p name back. The count has no lower bound, so that with two
     * entries of one name the slots stay balanced in sum; a caller must release each reservation
     * exactly once.
     */
    void releaseMirror(const QString &name);

    /**
     * Charges mirror @p name with one error. When its errors exceed its retries, emits the
     * message "Mirror %1 failed too many times, removing" and drops it.
     */
    void addMirrorError(const QString &name);

    /// Drops mirror @p name at once, without a message.
    void removeMirror(const QString &name);

    /**
     * Lowers what mirror @p name is asked for in range requests to @p support for the rest of
     * the run; a mirror is never raised again once found wanting.
     */
    void lowerRangeSupport(const QString &name, FTPSiteAccessData::RangeSupport support);
    /// Sends "Mirror %1 answers over HTTP/2" (or "HTTP/1.1") the first time an answer of mirror
    /// @p name is noted in the run, and nothing later. A mirror whose group sets no slots gets
    /// FTPSiteAccessData::Http2Slots the first time it answers over HTTP/2; http2Found() tells.
    ///
    /// Also counts the answer for the mirror's connection @p connection (see
    /// FTPSiteAccessData::connection).
    void noteProtocol(const QString &name, bool http2, int connection);
    /**
     * Mirror @p used.name refused a request sent over its connection @p used.connection without
     * processing it (MirrorConnection::ending()): @p connectionEnded when the server ended that
     * connection, else it refused only the stream. An ended connection is replaced (once, by the
     * first refusal that reports it), and the answers it gave, also those noted later, become
     * the number of requests sent over one connection of the mirror from then on, so that later
     * connections are replaced before the server ends them. A refusal is free: the caller sends
     * the request again. Only a mirror whose current connections refuse more than twice its
     * slots in a row without answering once is charged an error (addMirrorError()), as a server
     * that refuses everything would be; a request sent over a connection replaced since is never
     * held against it. Returns whether it was charged.
     */
    bool requestRefused(const FTPSiteAccessData &used, bool connectionEnded);
    /**
     * Whether a request over @p used.connection that has had no answer for a while waits on a
     * connection the server has ended: the mirror answers over HTTP/2, and the server has ended
     * that connection (or a later one), or the request has not left (@p requestLeft false) over
     * a connection that has answered before. Over HTTP/1.1 a request may wait its turn for a
     * connection, and a new connection takes a while to set up.
     */
    bool waitsOnEndedConnection(const FTPSiteAccessData &used, bool requestLeft) const;
    /// Whether mirror @p used.name answers over HTTP/2 and the connection @p used.connection
    /// has been replaced since.
    bool connectionReplaced(const FTPSiteAccessData &used) const;
    /**
     * A request to mirror @p used.name got no answer at all. When it was sent over HTTP/2
     * without negotiating it (http2=prior) and the mirror has not answered over HTTP/2 in the
     * run, the mirror speaks no HTTP/2 (a server that speaks only HTTP/1.1 drops such a request
     * unanswered): it is asked over HTTP/1.1 from now on, with a message that names the
     * mismatch, and true is returned: the request was no fault of the mirror's. Otherwise
     * nothing changes.
     */
    bool priorKnowledgeUnanswered(const FTPSiteAccessData &used);
    /// Records that mirror @p name answered a request for several ranges correctly.
    void confirmSeveralRanges(const QString &name);

    /// Sum of maxUses (@p capacity) and of useCount (@p used) over all mirrors.
    void calcUseStats(int &capacity, int &used) const;

    /// Position of the first mirror named @p name, or -1.
    int getMirrorIndex(const QString &name) const;

    /// The mirrors left, in the order they were read.
    const QVector<FTPSiteAccessData> &mirrorList() const { return mirrors; }

signals:
    /// Emitted once when the alpha mirror cannot be configured; the run cannot start.
    void fatalError(QString errorMessage);
    /// One line for the log: a mirror was dropped, or the pool was found empty (once per pool).
    void message(QString message);
    /// A mirror was found to answer over HTTP/2: its downloads share one connection, so the run
    /// may fetch as many files at once as the pool has slots.
    void http2Found();
    /// The server of mirror @p name ended its connection @p connection: requests over it that
    /// have had no answer will get none, and may be sent again over the new one at once.
    void connectionEnded(const QString &name, int connection);

private:
    int pickMirror(FTPSiteAccessData &mirror, FTPSiteAccessData::RangeSupport worstAllowed,
                   const QSet<QString> &avoid = {});
    static QString versionedUrl(const QString &baseUrl, int version);
    static void replaceConnection(FTPSiteAccessData &mirror);
    static void learnConnectionLimit(FTPSiteAccessData &mirror, int answers);

    QVector<FTPSiteAccessData> mirrors;
    bool noMirrorsReported = false;
    QSet<QString> protocolNoted;
    QRandomGenerator random;
};
