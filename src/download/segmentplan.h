#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <map>

/**
 * @class SegmentPlan
 * @brief Which parts of a file fetched in segments are in the file, which are being fetched, and
 * which part the next request takes.
 *
 * The segments tile the file: each runs from its start to the next one's, holds its bytes from
 * its start up to `filled` and is fetched from there on by at most one request at a time (busy).
 * take() gives a new request the first idle segment with bytes left; when there is none, it
 * splits the busy segment with the most bytes left at the middle of what it has left, so that a
 * request that ends early takes half of the slowest one's work instead of waiting for it. A split
 * leaves at least the minimum on either side and falls on the alignment (block boundaries, for
 * a file checked block by block), except at the file's end.
 *
 * What is in the file survives a run in save()'s few lines, which restore() reads back.
 *
 * Not a Qt object; owned by one download.
 */
class SegmentPlan
{
public:
    struct Segment
    {
        qint64 filled = 0;
        qint64 end = 0;
        bool busy = false;
    };

    /// One idle segment over a file of @p size bytes.
    SegmentPlan(qint64 size, qint64 alignment, qint64 minimumSplit);

    /**
     * Replaces the segments with those of @p saved (save()'s text). False, with the plan as it
     * was, when the text is not that of a file of this size or has a segment start off the
     * alignment.
     */
    bool restore(const QByteArray &saved);
    /// The segments' bytes in the file, as restore() reads them.
    QByteArray save() const;
    /// The file's first @p bytes are in it (a file fetched from its start by a single request).
    void restorePrefix(qint64 bytes);

    /// Makes a segment busy for a new request and returns its start; -1 when there is no work
    /// left that is not under way and none that is can be split.
    qint64 take();
    /// The segment starting at @p start, which take() returned; it stays where it is (its end may
    /// move closer when it is split) until the plan is destroyed or restored.
    Segment &at(qint64 start) { return segments.at(start); }
    /// Its request has ended: the segment is idle, complete or with bytes left to fetch.
    void release(qint64 start) { segments.at(start).busy = false; }

    /// Where the file's bytes are: the start and the filled end of every segment that has some.
    QList<QPair<qint64, qint64>> held() const;

    qint64 size() const { return fileSize; }
    /// Bytes in the file.
    qint64 doneBytes() const;
    /// The bytes from the file's start up to the first one that is not in it.
    qint64 prefix() const;
    /// The last byte any segment holds, plus one: how far the file reaches.
    qint64 extent() const;
    bool complete() const { return doneBytes() == fileSize; }
    int busyCount() const;

private:
    qint64 align(qint64 offset) const;

    qint64 fileSize;
    qint64 alignment;
    qint64 minimumSplit;
    // By start; a map so that a request's segment stays put while others are split off.
    std::map<qint64, Segment> segments;
};
