#pragma once

#include "download/rangesink.h"
#include "manifest/blocklist.h"
#include "manifest/gzipaccesspoints.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class BlockMatcher;
class BlockReceiver;

/**
 * @class PackedRanges
 * @brief The gzip side of a delta: which bytes of the stored file a request for blocks of the
 * unpacked content asks for, and the unpacked bytes each range is inflated after.
 *
 * Each range of missing blocks costs the stored bytes from the access point at its first block
 * to the point after its last one, nothing more: ranges whose stored bytes lie closer than a
 * part's header costs in a multipart answer are asked for as one, inflated through the blocks
 * between (which the file has, and which are skipped). A range is inflated after the 32 KiB of
 * the new file before it, read from where those blocks are: the installed file for blocks found
 * there (checked again, as it may have changed since the scan), the new file for blocks fetched.
 *
 * Main thread only; the list's matcher and receiver are not owned and must outlive this.
 */
class PackedRanges
{
public:
    /// What deflate may refer back to: the unpacked bytes before a range.
    static constexpr qint64 DictionarySize = 32 * 1024;
    /// About what a multipart answer spends on a part's header: stored ranges closer than this
    /// cost less asked for as one.
    static constexpr qint64 PartHeaderBytes = 100;

    /**
     * For the unpacked content described by @p list, stored as @p storedSize bytes with access
     * points @p points (one a block), whose blocks @p matcher found in the installed file and
     * @p receiver knows in the new one.
     */
    PackedRanges(const BlockList &list, const GzipAccessPoints &points, qint64 storedSize,
                 const BlockMatcher *matcher, const BlockReceiver *receiver);

    /**
     * For @p unpacked ranges (offset, length) of the new file, on blocks and in ascending order,
     * the ranges of the stored file to ask for into @p stored and the ranges a PackedRangeSink
     * inflates from them into @p parts, one for each of @p stored.
     */
    void plan(const QList<QPair<qint64, qint64>> &unpacked, QList<QPair<qint64, qint64>> *stored,
              QList<PackedRangeSink::Range> *parts) const;

    /**
     * The new file's bytes before @p unpackedOffset (up to DictionarySize) into @p bytes, read
     * from @p installedFd for blocks found in the installed file and from @p outputFd, which
     * must be readable, for blocks fetched. NotYet when one of them is neither; Unreadable with
     * @p why when one cannot be read or no longer holds its block.
     */
    PackedRangeSink::Before readDictionary(qint64 unpackedOffset, int installedFd, int outputFd,
                                           QByteArray *bytes, QString *why) const;

private:
    // The stored range from the point at @p first to the one after @p end's last block.
    QPair<qint64, qint64> storedRange(int first, int end) const;

    BlockList list;
    GzipAccessPoints points;
    qint64 storedSize;
    const BlockMatcher *matcher;
    const BlockReceiver *receiver;
};
