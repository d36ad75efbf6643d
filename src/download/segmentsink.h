#pragma once

#include "download/rangesink.h"
#include "download/segmentplan.h"

class SessionFile;

/**
 * @class SegmentSink
 * @brief Where the answer for one segment of a file fetched in segments goes: into the file
 * from the segment's first missing byte on, up to the segment's end, which may move closer
 * while the answer arrives (the segment was split).
 *
 * With a block list, every block is checked before it is written (BlockReceiver), and the
 * segment counts only checked blocks as filled: an answer that breaks, or lies, leaves the rest
 * of its segment to fetch from the first byte not proven right.
 */
class SegmentSink : public RangeSink
{
public:
    /// Into @p output, checked by @p receiver when not null; both not owned, like @p segment.
    SegmentSink(SessionFile *output, BlockReceiver *receiver, SegmentPlan::Segment *segment);

    /// Only the segment's first missing byte starts its answer.
    bool begin(qint64 offset) override { return offset == position; }
    Result take(QByteArrayView bytes) override;
    bool complete() const override { return segment->filled >= segment->end; }
    int wrongBlock() const override { return wrong; }
    QString problem() const override { return why; }

private:
    SessionFile *output;
    BlockReceiver *receiver;
    SegmentPlan::Segment *segment;
    qint64 position;
    BlockReceiver::Piece piece;
    int wrong = -1;
    QString why;
};
