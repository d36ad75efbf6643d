#include "download/rangesink.h"

PlainRangeSink::PlainRangeSink(BlockReceiver *receiver, const QList<QPair<qint64, qint64>> &asked)
    : receiver(receiver), asked(asked)
{
}

bool PlainRangeSink::begin(qint64 offset)
{
    // A part may join neighbouring ranges, and so start at any of them, but it must start where
    // one of them does: the bytes of a part that starts elsewhere fit no block asked for.
    for (const auto &range : std::as_const(asked)) {
        if (range.first == offset) {
            position = offset;
            piece.reset();
            return true;
        }
    }
    return false;
}

RangeSink::Result PlainRangeSink::take(QByteArrayView bytes)
{
    const BlockReceiver::Result result = receiver->take(&piece, position, bytes);
    position += bytes.size();
    if (result == BlockReceiver::WriteFailed)
        why = QStringLiteral("the new file cannot be written");
    return result == BlockReceiver::Taken     ? Taken
        : result == BlockReceiver::WrongBlock ? WrongBlock
                                              : Failed;
}

bool PlainRangeSink::complete() const
{
    for (const auto &range : asked) {
        if (!receiver->hasAll(range.first, range.second))
            return false;
    }
    return true;
}

PackedRangeSink::PackedRangeSink(BlockReceiver *receiver, const QList<Range> &ranges,
                                 Dictionary dictionary)
    : receiver(receiver), ranges(ranges), dictionary(std::move(dictionary))
{
}

bool PackedRangeSink::begin(qint64 offset)
{
    for (int index = 0; index < ranges.size(); ++index) {
        if (ranges.at(index).storedOffset == offset) {
            current = index;
            position = offset;
            started = false;
            piece.reset();
            return true;
        }
    }
    return false;
}

RangeSink::Result PackedRangeSink::startInflating(char firstByte)
{
    const Range &range = ranges.at(current);
    QByteArray before;
    switch (dictionary(range.unpackedOffset, &before, &why)) {
    case Before::Unreadable:
        return Failed;
    case Before::NotYet:
        // Nothing of the part can be inflated right: it is skipped, its blocks still missing.
        current = -1;
        return Taken;
    case Before::Read:
        break;
    }
    unpackedPosition = range.unpackedOffset;
    received = BlockReceiver::Taken;
    started = true;
    const bool ok = inflater.start(firstByte, range.skipBits, before, range.unpackedLength,
                                   [this](QByteArrayView bytes) {
                                       received = receiver->take(&piece, unpackedPosition, bytes);
                                       unpackedPosition += bytes.size();
                                       return received == BlockReceiver::Taken;
                                   });
    if (!ok) {
        why = inflater.error();
        return Failed;
    }
    return Taken;
}

RangeSink::Result PackedRangeSink::take(QByteArrayView bytes)
{
    while (current >= 0 && !bytes.isEmpty()) {
        // A mirror may join close ranges into one part: from the next range's first byte on,
        // the bytes are that range's, inflated from its own point.
        const int next = current + 1;
        const bool joined = next < ranges.size() && ranges.at(next).storedOffset >= position
            && ranges.at(next).storedOffset < position + bytes.size();
        const qsizetype own
            = joined ? qsizetype(ranges.at(next).storedOffset - position) : bytes.size();
        const Result result = takeOwn(bytes.first(own));
        if (result != Taken)
            return result;
        position += own;
        bytes = bytes.sliced(own);
        if (joined && current >= 0) {
            current = next;
            started = false;
            piece.reset();
        }
    }
    return Taken;
}

RangeSink::Result PackedRangeSink::takeOwn(QByteArrayView bytes)
{
    if (current < 0 || bytes.isEmpty())
        return Taken;
    if (!started) {
        const int skip = ranges.at(current).skipBits;
        const Result result = startInflating(skip > 0 ? bytes.front() : char(0));
        if (result != Taken || current < 0)
            return result;
        if (skip > 0)
            bytes = bytes.sliced(1);
    }
    // Bytes after the range's last block (the rest of its last byte's bits, or those before
    // a range joined to it) are not needed for it.
    if (inflater.isComplete() || inflater.feed(bytes))
        return Taken;
    if (received == BlockReceiver::WriteFailed) {
        why = QStringLiteral("the new file cannot be written");
        return Failed;
    }
    // Either a block came out wrong, or the bytes did not inflate at all: the sender's fault.
    wrong = received == BlockReceiver::WrongBlock
        ? receiver->wrongBlock()
        : int(unpackedPosition / qMax(qint64(1), receiver->blockSize()));
    return WrongBlock;
}

bool PackedRangeSink::complete() const
{
    for (const Range &range : ranges) {
        if (!receiver->hasAll(range.unpackedOffset, range.unpackedLength))
            return false;
    }
    return true;
}
