#include "download/missingblocks.h"

#include "download/blockreceiver.h"

#include <algorithm>

MissingBlocks::MissingBlocks(const BlockList &list, const BlockReceiver *receiver)
    : list(list), receiver(receiver), asked(list.count(), false)
{
}

bool MissingBlocks::isFree(int block) const
{
    return !receiver->has(block) && !asked.at(block);
}

bool MissingBlocks::dictionaryReady(int block, const QList<QPair<qint64, qint64>> &earlier) const
{
    for (int before = block - 1;
         before >= 0 && list.offsetOf(block) - list.offsetOf(before) <= dictionary; --before) {
        if (receiver->has(before))
            continue;
        const qint64 offset = list.offsetOf(before);
        const bool taken = std::any_of(earlier.cbegin(), earlier.cend(), [offset](const auto &r) {
            return offset >= r.first && offset < r.first + r.second;
        });
        if (!taken)
            return false;
    }
    return true;
}

QList<QPair<qint64, qint64>> MissingBlocks::take(int maxRanges, qint64 mergeGap, qint64 minBytes,
                                                 int requests)
{
    qint64 freeBytes = 0;
    for (int block = 0; block < list.count(); ++block) {
        if (isFree(block))
            freeBytes += list.lengthOf(block);
    }
    const qint64 budget = qMax(minBytes, freeBytes / qMax(1, requests));

    QList<QPair<qint64, qint64>> ranges;
    qint64 bytes = 0;
    for (int block = 0; block < list.count() && bytes < budget; ++block) {
        if (!isFree(block))
            continue;
        const qint64 offset = list.offsetOf(block);
        const qint64 length = list.lengthOf(block);
        if (!ranges.isEmpty()) {
            QPair<qint64, qint64> &last = ranges.last();
            const qint64 gap = offset - (last.first + last.second);
            // Only blocks in the file lie between: they are fetched again, not twice.
            bool joined = gap <= mergeGap;
            for (qint64 between = last.first + last.second; joined && between < offset;
                 between += list.blockSize())
                joined = receiver->has(int(between / list.blockSize()));
            if (joined) {
                last.second += gap + length;
                bytes += gap + length;
                continue;
            }
            if (ranges.size() == maxRanges)
                break;
        }
        if (dictionary > 0 && !dictionaryReady(block, ranges))
            continue;
        ranges.append({offset, length});
        bytes += length;
    }
    for (const auto &range : std::as_const(ranges)) {
        const int last = int((range.first + range.second - 1) / list.blockSize());
        for (int block = int(range.first / list.blockSize()); block <= last; ++block)
            asked[block] = !receiver->has(block);
    }
    return ranges;
}

void MissingBlocks::giveBack(const QList<QPair<qint64, qint64>> &ranges)
{
    for (const auto &range : ranges) {
        const int last = int((range.first + range.second - 1) / list.blockSize());
        for (int block = int(range.first / list.blockSize()); block <= last; ++block)
            asked[block] = false;
    }
}
