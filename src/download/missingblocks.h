#pragma once

#include <QList>
#include <QPair>
#include <QVector>

#include "manifest/blocklist.h"

class BlockReceiver;

/**
 * @class MissingBlocks
 * @brief The blocks of a new file that are neither in it nor asked for yet, and the ranges of
 * them that the next request asks for.
 *
 * Ranges start and end on blocks; neighbouring missing blocks make one range, and ranges apart
 * by at most a given gap of blocks already in the file are joined, those fetched again. Blocks
 * taken are asked for until given back; a block that arrives meanwhile stays in the file.
 *
 * For a file put together by inflating from access points, every range is inflated after the
 * dictionary size of bytes before it, which must be in the file (or the installed one) by the
 * time its bytes arrive: either already, or as blocks of an earlier range of the same request,
 * whose answer brings them first. A range whose bytes before are missing, or asked for by
 * another request, waits for a later take. Ranges are not joined for the dictionary's sake: only
 * the missing blocks travel.
 */
class MissingBlocks
{
public:
    /// Follows @p receiver (not owned), which knows the blocks in the file.
    MissingBlocks(const BlockList &list, const BlockReceiver *receiver);

    /// Makes ranges start only where the @p bytes before them are in the file or come earlier
    /// in the same request; 0 (the default) for no such rule.
    void setDictionarySize(qint64 bytes) { dictionary = bytes; }

    /**
     * Takes up to @p maxRanges ranges (offset, length) of the next missing blocks not asked for,
     * those apart by at most @p mergeGap bytes of blocks in the file joined, of at least
     * @p minBytes or a share of @p requests of all such blocks in all, whichever is more; they
     * count as asked for. Empty when there is nothing to ask for now.
     */
    QList<QPair<qint64, qint64>> take(int maxRanges, qint64 mergeGap, qint64 minBytes,
                                      int requests);
    /// Gives back @p ranges taken before: those of their blocks not in the file are missing.
    void giveBack(const QList<QPair<qint64, qint64>> &ranges);

private:
    bool isFree(int block) const;
    // Whether the bytes before @p block that a range from it needs are in the file, or in
    // @p earlier, taken for the same request.
    bool dictionaryReady(int block, const QList<QPair<qint64, qint64>> &earlier) const;

    BlockList list;
    const BlockReceiver *receiver;
    QVector<bool> asked;
    qint64 dictionary = 0;
};
