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
class BlockIndex
{
public:
    explicit BlockIndex(const BlockList &list);

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
    int nextSame(int block) const { return next[size_t(block)]; }

    /// The first block with the same content as @p block (itself for a block not indexed).
    int firstSame(int block) const { return first[size_t(block)]; }

private:
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
};
