#include "manifest/blockindex.h"

#include <algorithm>
#include <tuple>

namespace {

int strideFor(int count, int maxIndexed)
{
    int stride = 1;
    while (count / stride > qMax(1, maxIndexed))
        stride *= 2;
    return stride;
}

} // namespace

BlockIndex::BlockIndex(const BlockList &list, int maxIndexed)
    : step(strideFor(list.count(), maxIndexed))
{
    const size_t anchors = size_t((list.count() + step - 1) / step);
    next.assign(anchors, -1);
    first.resize(anchors);
    std::vector<Entry> all;
    all.reserve(anchors);
    for (int block = 0; block < list.count(); block += step) {
        first[slot(block)] = block;
        if (list.lengthOf(block) == list.blockSize())
            all.push_back({list.block(block).weak, list.block(block).strong, block});
    }
    std::sort(all.begin(), all.end(), [](const Entry &a, const Entry &b) {
        return std::tie(a.weak, a.strong, a.block) < std::tie(b.weak, b.strong, b.block);
    });
    // Sorted by block within equal content, so that each chain is in file order.
    int last = -1;
    for (const Entry &entry : all) {
        if (!entries.empty() && entries.back().weak == entry.weak
            && entries.back().strong == entry.strong) {
            next[slot(last)] = entry.block;
            first[slot(entry.block)] = entries.back().block;
        } else {
            entries.push_back(entry);
        }
        last = entry.block;
    }

    // Some 256 bits per distinct block, at most 2 MiB: a window that is no block gets past the
    // filter once in 256, and each that does costs a lookup and the way out of the rolling
    // loop, some hundred times a step of it. With sixteen bits, a scan through changed bytes
    // ran at a third of the speed.
    int bits = 16;
    while (bits < 24 && (qint64(1) << bits) < qint64(entries.size()) * 256)
        ++bits;
    shift = 32 - bits;
    filter.assign(size_t(1) << (bits - 6), 0);
    for (const Entry &entry : entries) {
        const quint32 bit = (entry.weak * 0x9e3779b1u) >> shift;
        filter[bit >> 6] |= quint64(1) << (bit & 63);
    }
}

bool BlockIndex::holdsWeak(quint32 weak) const
{
    const auto it = std::lower_bound(entries.cbegin(), entries.cend(), weak,
                                     [](const Entry &entry, quint32 w) { return entry.weak < w; });
    return it != entries.cend() && it->weak == weak;
}

int BlockIndex::find(quint32 weak, quint64 strong) const
{
    const auto it = std::lower_bound(
        entries.cbegin(), entries.cend(), std::make_pair(weak, strong),
        [](const Entry &entry, const std::pair<quint32, quint64> &key) {
            return std::tie(entry.weak, entry.strong) < std::tie(key.first, key.second);
        });
    return it != entries.cend() && it->weak == weak && it->strong == strong ? it->block : -1;
}
