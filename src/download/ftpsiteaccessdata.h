#pragma once

#include <QMetaType>
#include <QString>

/**
 * One download mirror of a run's mirror pool.
 *
 * A plain value record, copied freely: the pool keeps one record per mirror and every download
 * holds its own copy of the record it was handed. The copy's counters are a snapshot taken when
 * the mirror was handed out; the pool's record is the live one. Pool operations find a mirror by
 * exact, case-sensitive comparison of `name`; an empty `name` in a copy means "no mirror held".
 */
struct FTPSiteAccessData
{
    /// Ticks without data a download tolerates; no file sets it, every mirror has this value.
    static constexpr int DefaultTimeoutTicks = 15;

    /// Key of the mirror: its entry and group name in mirrors.ini, or "Alpha Channel".
    QString name;
    /// Base URL of the target version's files: configured URL, "/", version. Never ends in "/".
    QString url;
    /// Errors tolerated; the pool drops the mirror when errorCount exceeds it.
    int retries = 0;
    /// Consecutive engine ticks without received data before a download counts as timed out.
    int timeoutTicks = DefaultTimeoutTicks;
    /// Errors charged so far.
    int errorCount = 0;
    /// Downloads currently using the mirror.
    int useCount = 0;
    /// Simultaneous downloads the mirror accepts: its group's "slots" when that is a number from
    /// 1 to MaxSlots, else 3 for HTTP and HTTPS and 1 for any other scheme.
    int maxUses = 1;
    static constexpr int MaxSlots = 64;
    /// Whether maxUses is its group's "slots". Otherwise a mirror found to answer over HTTP/2
    /// gets Http2Slots: its downloads share one connection as streams, so more of them at once
    /// cost it no more connections, and each hides another's round trip.
    bool slotsGiven = false;
    static constexpr int Http2Slots = 32;
    /// Its group's "http2=prior": requests go out as HTTP/2 without negotiating it first (prior
    /// knowledge), also over plain HTTP. Without it HTTPS mirrors negotiate HTTP/2 by ALPN.
    bool http2Direct = false;
    /// The connection requests go over: raised when the server ended the last one (see
    /// MirrorConnection), or before it would, once the run has learnt how many requests the
    /// server takes on one connection (connectionLimit, 0 while unknown).
    int connection = 0;
    int connectionRequests = 0;
    int connectionAnswers = 0;
    int connectionLimit = 0;
    /// The newest connection that has answered, -1 before any.
    int answeredConnection = -1;
    /// The connection the server ended last, and the answers it gave.
    int endedConnection = -1;
    int endedAnswers = 0;
    /// Requests refused unprocessed since the last answer: free while a server sheds a few
    /// streams, charged once they look like a server that refuses everything.
    int refusedSinceAnswer = 0;
    /// Whether the mirror has answered over HTTP/2 in the run.
    bool http2Shown = false;
    /// What the mirror was found to answer to range requests during the run.
    enum RangeSupport {
        MultipleRanges, ///< not found wanting yet: several ranges are asked for in one request
        SingleRanges, ///< several ranges in one request went wrong: one range per request
        NoRanges ///< ranges are ignored or refused: the mirror serves whole files only
    };
    RangeSupport ranges = MultipleRanges;
    /// Whether the mirror has answered a request for several ranges correctly in the run: until
    /// then it is asked for a few only, so that a wrong answer wastes little.
    bool severalRangesShown = false;
    /// Whether the mirror answered 404 for the compressed form of a metadata file in the run: it
    /// holds a release published without them, and is asked for the plain forms at once.
    bool lacksCompressedMetadata = false;
};

Q_DECLARE_TYPEINFO(FTPSiteAccessData, Q_RELOCATABLE_TYPE);
