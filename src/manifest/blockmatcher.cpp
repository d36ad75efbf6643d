#include "manifest/blockmatcher.h"

#include "manifest/blockindex.h"
#include "manifest/filewindow.h"
#include "manifest/rollingchecksum.h"
#include "manifest/sha256.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool sizeOf(int fd, qint64 *size, QString *problem)
{
    struct stat info = {};
    if (fstat(fd, &info) != 0) {
        *problem = QStringLiteral("cannot read the file's size: %1").arg(errorText());
        return false;
    }
    *size = info.st_size;
    return true;
}

bool writeAll(int fd, const char *data, qint64 length, qint64 offset, QString *problem)
{
    while (length > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(length), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *problem = QStringLiteral("cannot write at %1: %2").arg(offset).arg(errorText());
            return false;
        }
        data += written;
        length -= written;
        offset += written;
    }
    return true;
}

} // namespace

BlockMatcher::BlockMatcher(const BlockList &newContent, qsizetype windowSize, int maxIndexed)
    : list(newContent),
      windowSize(qMax(windowSize, qsizetype(2 * newContent.blockSize()))),
      maxIndexed(maxIndexed),
      offsets(newContent.count(), Missing)
{
}

bool BlockMatcher::scan(int oldFd, QString *problem)
{
    offsets.fill(Missing);
    reused = 0;
    qint64 size = 0;
    if (!sizeOf(oldFd, &size, problem))
        return false;

    const BlockIndex index(list, maxIndexed);
    FileWindow window(oldFd, size, windowSize);
    Sha256 digest;
    const qint64 blockSize = list.blockSize();

    // Every block of the same content is at the same place in the old file.
    const auto take = [&](int block, qint64 offset) {
        if (offsets.at(block) != Missing)
            return;
        for (int same = block; same >= 0; same = index.nextSame(same)) {
            offsets[same] = offset;
            reused += list.lengthOf(same);
        }
    };

    // The last block, when shorter, has no place in the index of full blocks. It is looked for
    // where it most likely is: at the start of a file that was one block or less, at the end,
    // and behind the place of the block before it.
    const int last = list.count() - 1;
    const qint64 lastLength = last >= 0 ? list.lengthOf(last) : 0;
    const bool shortLast = last >= 0 && lastLength < blockSize;
    const int beforeLast = shortLast && last > 0 ? index.firstSame(last - 1) : -1;
    const auto tryLast = [&](qint64 offset) {
        if (!shortLast || offsets.at(last) != Missing || offset < 0 || offset + lastLength > size)
            return true;
        const char *data = window.bytes(offset, lastLength, problem);
        if (!data)
            return false;
        const QByteArrayView bytes(data, lastLength);
        if (RollingChecksum::of(bytes) == list.block(last).weak
            && BlockList::strongOf(&digest, bytes) == list.block(last).strong)
            take(last, offset);
        return true;
    };

    // With a sparse index only anchors are found by rolling: the blocks between the last change
    // and the anchor found after it are looked for just before the anchor, where they lie when
    // the bytes between did not change, as the blocks after a found one are looked for behind it.
    const auto takeBefore = [&](int anchor, qint64 offset) {
        for (int block = anchor - 1; block >= 0 && anchor - block < index.stride()
             && offsets.at(block) == Missing && list.lengthOf(block) == blockSize;
             --block) {
            offset -= blockSize;
            if (offset < 0)
                break;
            const char *data = window.bytes(offset, blockSize, problem);
            if (!data)
                return false;
            if (BlockList::strongOf(&digest, QByteArrayView(data, blockSize))
                != list.block(block).strong)
                break;
            take(block, offset);
        }
        return true;
    };

    const auto fail = [&] {
        offsets.fill(Missing);
        reused = 0;
        return false;
    };

    if (last == 0 && !tryLast(0))
        return fail();
    RollingChecksum rolling;
    bool rolled = false;
    int expected = list.count() > 0 ? 0 : -1;
    qint64 position = 0;
    while (position + blockSize <= size) {
        const char *data = window.bytes(position, blockSize, problem);
        if (!data)
            return fail();
        // Unchanged stretches hold the new blocks in order: the block after the last one found
        // is tried first, by its strong digest alone, which costs less than the weak checksum
        // of a fresh window.
        if (!rolled && expected >= 0 && list.lengthOf(expected) == blockSize
            && BlockList::strongOf(&digest, QByteArrayView(data, blockSize))
                == list.block(expected).strong) {
            const int found = index.firstSame(expected);
            take(found, position);
            if (found == beforeLast && !tryLast(position + blockSize))
                return fail();
            expected = expected + 1 < list.count() ? expected + 1 : -1;
            position += blockSize;
            continue;
        }
        if (!rolled) {
            rolling.reset(QByteArrayView(data, blockSize));
            rolled = true;
        }
        const quint32 weak = rolling.value();
        if (index.mayHold(weak) && index.holdsWeak(weak)) {
            const int found
                = index.find(weak, BlockList::strongOf(&digest, QByteArrayView(data, blockSize)));
            if (found >= 0) {
                take(found, position);
                if (!takeBefore(found, position))
                    return fail();
                expected = found + 1 < list.count() ? found + 1 : -1;
                if (found == beforeLast && !tryLast(position + blockSize))
                    return fail();
                position += blockSize;
                rolled = false;
                continue;
            }
        }
        if (position + blockSize == size)
            break;
        // Roll over the bytes held, up to the next window that the index may know.
        data = window.bytes(position, blockSize + 1, problem);
        if (!data)
            return fail();
        position += rolling.rollUntil(data, window.end() - position - blockSize,
                                      [&index](quint32 weak) { return index.mayHold(weak); });
    }
    if (!tryLast(size - lastLength))
        return fail();
    return true;
}

QList<QPair<int, qint64>> BlockMatcher::matchedBlocks() const
{
    QList<QPair<int, qint64>> matched;
    for (int block = 0; block < offsets.size(); ++block) {
        if (offsets.at(block) != Missing)
            matched.append({block, offsets.at(block)});
    }
    return matched;
}

QList<QPair<qint64, qint64>> BlockMatcher::missingRanges(qint64 mergeGap) const
{
    QList<QPair<qint64, qint64>> ranges;
    for (int block = 0; block < offsets.size(); ++block) {
        if (offsets.at(block) != Missing)
            continue;
        const qint64 begin = list.offsetOf(block);
        const qint64 end = begin + list.lengthOf(block);
        if (!ranges.isEmpty() && begin - (ranges.last().first + ranges.last().second) <= mergeGap)
            ranges.last().second = end - ranges.last().first;
        else
            ranges.append({begin, end - begin});
    }
    return ranges;
}

bool BlockMatcher::assemble(int oldFd, int outputFd, QString *problem,
                            const std::function<void(qint64)> &complete) const
{
    // Told every few MiB: each report is a wake-up for whoever follows the file.
    constexpr qint64 ReportStep = 4 * 1024 * 1024;
    qint64 reported = 0;
    if (ftruncate(outputFd, off_t(list.fileSize())) != 0) {
        *problem = QStringLiteral("cannot set the new file's size: %1").arg(errorText());
        return false;
    }
    // Up to the end of the last block needed, so that an old file cut short since the scan is
    // reported as such.
    qint64 needed = 0;
    for (int block = 0; block < offsets.size(); ++block) {
        if (offsets.at(block) != Missing)
            needed = qMax(needed, offsets.at(block) + list.lengthOf(block));
    }
    FileWindow window(oldFd, needed, windowSize);
    Sha256 digest;
    const qint64 blockSize = list.blockSize();
    int block = 0;
    while (block < offsets.size()) {
        if (offsets.at(block) == Missing) {
            ++block;
            continue;
        }
        // Blocks that follow each other in both files go in one read and one write.
        const int first = block;
        qint64 length = list.lengthOf(block);
        ++block;
        while (block < offsets.size() && offsets.at(block) == offsets.at(block - 1) + blockSize
               && length + list.lengthOf(block) <= windowSize) {
            length += list.lengthOf(block);
            ++block;
        }
        const char *data = window.bytes(offsets.at(first), length, problem);
        if (!data)
            return false;
        for (int copied = first; copied < block; ++copied) {
            const QByteArrayView bytes(data + (copied - first) * blockSize, list.lengthOf(copied));
            if (BlockList::strongOf(&digest, bytes) != list.block(copied).strong) {
                *problem = QStringLiteral("the installed file no longer holds block %1 at %2: it "
                                          "changed after it was scanned")
                               .arg(copied)
                               .arg(offsets.at(copied));
                return false;
            }
        }
        if (!writeAll(outputFd, data, length, list.offsetOf(first), problem))
            return false;
        const qint64 end = list.offsetOf(first) + length;
        if (complete && end - reported >= ReportStep) {
            complete(end);
            reported = end;
        }
    }
    if (complete)
        complete(list.fileSize());
    return true;
}
