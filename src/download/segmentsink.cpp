#include "download/segmentsink.h"

#include "fileops/sessionfile.h"

#include <QObject>

SegmentSink::SegmentSink(SessionFile *output, BlockReceiver *receiver,
                         SegmentPlan::Segment *segment)
    : output(output), receiver(receiver), segment(segment), position(segment->filled)
{
}

RangeSink::Result SegmentSink::take(QByteArrayView bytes)
{
    // Past the end the bytes belong to the segment split off, which another request fetches.
    const qint64 usable = qMin(qint64(bytes.size()), segment->end - position);
    if (usable <= 0)
        return Taken;
    bytes = bytes.first(usable);
    if (receiver) {
        switch (receiver->take(&piece, position, bytes)) {
        case BlockReceiver::Taken:
            break;
        case BlockReceiver::WrongBlock:
            wrong = receiver->wrongBlock();
            // The blocks before it were right and are written.
            segment->filled = qint64(wrong) * receiver->blockSize();
            return WrongBlock;
        case BlockReceiver::WriteFailed:
            why = QObject::tr("%1 cannot be written").arg(output->fileName());
            return Failed;
        }
        position += usable;
        // A block still being collected is not in the file.
        segment->filled = position - (piece.block >= 0 ? piece.bytes.size() : 0);
        return Taken;
    }
    if (!output->writeAt(position, bytes.data(), usable)) {
        why = QObject::tr("%1 cannot be written").arg(output->fileName());
        return Failed;
    }
    position += usable;
    segment->filled = position;
    return Taken;
}
