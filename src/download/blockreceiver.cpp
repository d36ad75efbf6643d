#include "download/blockreceiver.h"

#include "fileops/sessionfile.h"

BlockReceiver::BlockReceiver(const BlockList &list, SessionFile *output)
    : list(list), output(output), present(list.count(), false), missing(list.count())
{
}

void BlockReceiver::markPresent(int block)
{
    if (present.at(block))
        return;
    present[block] = true;
    --missing;
}

bool BlockReceiver::hasAll(qint64 offset, qint64 length) const
{
    if (length <= 0)
        return true;
    const int last = int((qMin(offset + length, list.fileSize()) - 1) / list.blockSize());
    for (int block = int(offset / list.blockSize()); block <= last; ++block) {
        if (!present.at(block))
            return false;
    }
    return true;
}

BlockReceiver::Result BlockReceiver::take(Piece *piece, qint64 offset, QByteArrayView bytes)
{
    const qint64 blockSize = list.blockSize();
    Result result = Taken;
    // Whole blocks that passed their check, one after the other, go to the file in one write:
    // a write per block would cost a system call every few KiB.
    qint64 runOffset = 0;
    QByteArrayView run;
    int runFirst = -1;
    const auto writeRun = [&]() {
        if (run.isEmpty())
            return true;
        if (!output->writeAt(runOffset, run.data(), run.size())) {
            result = WriteFailed;
            return false;
        }
        for (int block = runFirst; list.offsetOf(block) < runOffset + run.size(); ++block) {
            present[block] = true;
            --missing;
        }
        received += run.size();
        run = QByteArrayView();
        return true;
    };
    while (!bytes.isEmpty() && offset < list.fileSize()) {
        const int block = int(offset / blockSize);
        const qint64 within = offset - list.offsetOf(block);
        const qint64 length = list.lengthOf(block);
        if (piece->block != block || piece->bytes.size() != within) {
            piece->reset();
            if (within != 0 || present.at(block)) {
                // Nothing to collect here: skip to where the next block starts.
                const qint64 skipped = qMin(qint64(bytes.size()), length - within);
                offset += skipped;
                bytes = bytes.sliced(skipped);
                continue;
            }
            if (bytes.size() >= length) {
                // The whole block in one piece, checked where it lies.
                const QByteArrayView whole = bytes.first(length);
                if (BlockList::strongOf(&digest, whole) != list.block(block).strong) {
                    if (!writeRun())
                        return result;
                    wrong = block;
                    return WrongBlock;
                }
                if (!run.isEmpty() && runOffset + run.size() == offset) {
                    run = QByteArrayView(run.data(), run.size() + length);
                } else {
                    if (!writeRun())
                        return result;
                    runOffset = offset;
                    runFirst = block;
                    run = whole;
                }
                offset += length;
                bytes = bytes.sliced(length);
                continue;
            }
            piece->block = block;
            piece->bytes.reserve(length);
        }
        const qint64 part = qMin(qint64(bytes.size()), length - piece->bytes.size());
        piece->bytes.append(bytes.first(part));
        offset += part;
        bytes = bytes.sliced(part);
        if (piece->bytes.size() == length) {
            if (!writeRun())
                return result;
            const bool ok = complete(block, piece->bytes, &result);
            piece->reset();
            if (!ok)
                return result;
        }
    }
    writeRun();
    return result;
}

bool BlockReceiver::complete(int block, QByteArrayView bytes, Result *result)
{
    // Another answer may have brought it meanwhile.
    if (present.at(block))
        return true;
    if (BlockList::strongOf(&digest, bytes) != list.block(block).strong) {
        wrong = block;
        *result = WrongBlock;
        return false;
    }
    if (!output->writeAt(list.offsetOf(block), bytes.data(), bytes.size())) {
        *result = WriteFailed;
        return false;
    }
    present[block] = true;
    --missing;
    received += bytes.size();
    return true;
}
