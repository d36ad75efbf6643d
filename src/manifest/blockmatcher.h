#pragma once

#include "manifest/blocklist.h"

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

/// Finds the blocks of a new version of a file (its block list) in the installed, old version,
/// so that only the others are fetched, and copies the found ones into the new file.
///
/// The scan reads the old file once from start to end through a bounded window. Where no block
/// matches, it moves on a byte at a time, so that blocks are found at any offset, after bytes
/// inserted or deleted anywhere; where one matches, it moves on a whole block. The blocks of a
/// large list are indexed sparsely: after a change, the blocks up to the next anchor found are
/// looked for just before it, and the blocks after a found one just behind it; a block moved
/// elsewhere on its own is found only when it is an anchor. The weak rolling
/// checksum is compared at every byte, the strong digest only where a weak one matches.
///
/// An old file that changes while the updater works on it must never yield a wrong new file.
/// scan() and assemble() fail on read errors and on a file shorter than its size when they
/// started, and assemble() copies a block only when the bytes it reads still have the block's
/// strong digest. What guards the result is the check of the new file against its whole
/// SHA-256 after the fetched ranges are written, which the caller must make: the strong digests
/// are truncated, and the fetched bytes are the caller's.
class BlockMatcher
{
public:
    static constexpr qint64 Missing = -1;
    static constexpr qsizetype DefaultWindowSize = 1024 * 1024;
    static constexpr int DefaultMaxIndexed = 65536;

    /// @p windowSize bounds the memory a scan takes; at least two blocks are used. A list of more
    /// than @p maxIndexed blocks is indexed sparsely (BlockIndex); tests lower it.
    explicit BlockMatcher(const BlockList &newContent, qsizetype windowSize = DefaultWindowSize,
                          int maxIndexed = DefaultMaxIndexed);

    /**
     * Scans the old file @p oldFd from its start to its size when the scan begins, forgetting
     * what an earlier scan found. False with the reason in @p problem when a read fails or the
     * file ends early; nothing counts as found then.
     */
    bool scan(int oldFd, QString *problem);

    const BlockList &blockList() const { return list; }
    /// The offset in the old file that holds the new block @p newIndex, or Missing.
    qint64 oldOffsetOf(int newIndex) const { return offsets.at(newIndex); }

    /// The found blocks as (new block index, old offset), by new index.
    QList<QPair<int, qint64>> matchedBlocks() const;

    /// The bytes of the new file that found blocks provide.
    qint64 reusedBytes() const { return reused; }

    /**
     * The byte ranges of the new file to fetch, as (offset, length) in increasing order: the
     * blocks not found, neighbours joined, and two ranges apart by at most @p mergeGap bytes
     * joined with the bytes between, where fetching those again costs less than a request.
     */
    QList<QPair<qint64, qint64>> missingRanges(qint64 mergeGap) const;

    /**
     * Gives @p outputFd the new file's size and writes every found block at its place, read
     * from @p oldFd, leaving the missing ranges for the caller, before or after. False with the
     * reason in @p problem when a read or write fails, or when the old file no longer holds a
     * found block: it changed after the scan. The blocks are written in order, and
     * @p complete is told, now and then and at the end, up to which offset they are, so that
     * the file can be digested while the rest is written.
     */
    bool assemble(int oldFd, int outputFd, QString *problem,
                  const std::function<void(qint64)> &complete = {}) const;

private:
    BlockList list;
    qsizetype windowSize;
    int maxIndexed;
    QList<qint64> offsets;
    qint64 reused = 0;
};
