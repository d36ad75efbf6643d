#pragma once

#include "manifest/blocklist.h"

#include <vector>

/// Finds the full-size blocks of a block list by their checksums, for a scan that asks at every
/// byte of a file whether the window there may be one of them.
///
/// Most windows are no block at all: a bit set of some 256 bits per block (at most 2 MiB),
/// indexed by the weak checksum, answers them from the processor's cache.
/// Only the few it lets through are looked up in the sorted checksums. Blocks of equal content
/// are found as one, the first of them, followed by the others through nextSame(): a file of
/// zeros must not make every window walk all its blocks.
///
/// A list of more blocks than the index may hold is indexed sparsely: only every stride()-th block,
/// an anchor, can be found by its checksums, so that the index of a file of half a million blocks
/// stays as small as that of one of 65536. A scan finds the blocks between anchors from the
/// anchors' places (BlockMatcher). Blocks that are not anchors are their own first and last of
/// equal content.
class BlockIndex
{
public:
    /// Indexes @p list, sparsely when it has more than @p maxIndexed blocks.
    BlockIndex(const BlockList &list, int maxIndexed);

    /// Every how many blocks one is indexed: 1, or a power of two that keeps the index within
    /// the most blocks given.
    int stride() const { return step; }

    /// False when no full-size block has @p weak; true says "perhaps".
    bool mayHold(quint32 weak) const
    {
        const quint32 bit = (weak * 0x9e3779b1u) >> shift;
        return (filter[bit >> 6] >> (bit & 63)) & 1;
    }

    /// Whether some full-size block has @p weak.
    bool holdsWeak(quint32 weak) const;

    /// The first full-size block with these checksums, or -1.
    int find(quint32 weak, quint64 strong) const;

    /// The next block with the same content as @p block, or -1.
    int nextSame(int block) const { return isAnchor(block) ? next[slot(block)] : -1; }

    /// The first block with the same content as @p block (itself for a block not indexed).
    int firstSame(int block) const { return isAnchor(block) ? first[slot(block)] : block; }

private:
    bool isAnchor(int block) const { return block % step == 0; }
    size_t slot(int block) const { return size_t(block / step); }

    struct Entry
    {
        quint32 weak;
        quint64 strong;
        int block;
    };

    std::vector<Entry> entries;
    std::vector<int> next;
    std::vector<int> first;
    std::vector<quint64> filter;
    int shift = 0;
    int step = 1;
};
