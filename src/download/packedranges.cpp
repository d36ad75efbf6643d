#include "download/packedranges.h"

#include "download/blockreceiver.h"
#include "manifest/blockmatcher.h"
#include "manifest/sha256.h"

#include <QCoreApplication>

#include <unistd.h>

PackedRanges::PackedRanges(const BlockList &list, const GzipAccessPoints &points, qint64 storedSize,
                           const BlockMatcher *matcher, const BlockReceiver *receiver)
    : list(list), points(points), storedSize(storedSize), matcher(matcher), receiver(receiver)
{
}

QPair<qint64, qint64> PackedRanges::storedRange(int first, int end) const
{
    const qint64 start = points.bitOffset(first) / 8;
    // Up to the byte that holds the next point's first bit, or the end of the file.
    const qint64 stop = end < points.count() ? (points.bitOffset(end) + 7) / 8 : storedSize;
    return {start, stop - start};
}

void PackedRanges::plan(const QList<QPair<qint64, qint64>> &unpacked,
                        QList<QPair<qint64, qint64>> *stored,
                        QList<PackedRangeSink::Range> *parts) const
{
    stored->clear();
    parts->clear();
    int first = -1;
    int end = -1;
    const auto add = [&] {
        const qint64 bit = points.bitOffset(first);
        stored->append(storedRange(first, end));
        parts->append({bit / 8, int(bit % 8), list.offsetOf(first),
                       list.offsetOf(end - 1) + list.lengthOf(end - 1) - list.offsetOf(first)});
    };
    for (const auto &[offset, length] : unpacked) {
        const int from = int(offset / list.blockSize());
        const int to = int((offset + length + list.blockSize() - 1) / list.blockSize());
        if (first >= 0) {
            const QPair<qint64, qint64> before = storedRange(first, end);
            // Stored ranges that touch or overlap (a byte holds the end of one block and the
            // start of the next) could not be told apart in an answer, and close ones cost more
            // apart than joined.
            if (points.bitOffset(from) / 8 - (before.first + before.second) < PartHeaderBytes) {
                end = to;
                continue;
            }
            add();
        }
        first = from;
        end = to;
    }
    if (first >= 0)
        add();
}

PackedRangeSink::Before PackedRanges::readDictionary(qint64 unpackedOffset, int installedFd,
                                                     int outputFd, QByteArray *bytes,
                                                     QString *why) const
{
    const qint64 from = qMax(qint64(0), unpackedOffset - DictionarySize);
    bytes->clear();
    bytes->reserve(unpackedOffset - from);
    Sha256 digest;
    for (int block = int(from / list.blockSize()); list.offsetOf(block) < unpackedOffset; ++block) {
        // An earlier part of the answer that did not come, or not whole.
        if (!receiver->has(block))
            return PackedRangeSink::Before::NotYet;
        QByteArray data(list.lengthOf(block), Qt::Uninitialized);
        const qint64 old = matcher->oldOffsetOf(block);
        // A block found in the installed file is read there, where it is until the copy; one
        // fetched is in the new file, checked already.
        const int fd = old != BlockMatcher::Missing ? installedFd : outputFd;
        const qint64 at = old != BlockMatcher::Missing ? old : list.offsetOf(block);
        if (::pread(fd, data.data(), size_t(data.size()), off_t(at)) != data.size()) {
            *why = QCoreApplication::translate("DeltaDownloadTaskSpecification",
                                               "the bytes before block %1 cannot be read")
                       .arg(block);
            return PackedRangeSink::Before::Unreadable;
        }
        if (old != BlockMatcher::Missing
            && BlockList::strongOf(&digest, data) != list.block(block).strong) {
            *why = QCoreApplication::translate(
                       "DeltaDownloadTaskSpecification",
                       "the installed file no longer holds block %1 at %2: it changed after it "
                       "was scanned")
                       .arg(block)
                       .arg(old);
            return PackedRangeSink::Before::Unreadable;
        }
        const qint64 skip = qMax(qint64(0), from - list.offsetOf(block));
        bytes->append(QByteArrayView(data).sliced(skip));
    }
    return PackedRangeSink::Before::Read;
}
