#include "download/segmentplan.h"

namespace {

constexpr char Header[] = "segments";

} // namespace

SegmentPlan::SegmentPlan(qint64 size, qint64 alignment, qint64 minimumSplit)
    : fileSize(size), alignment(qMax(qint64(1), alignment)), minimumSplit(minimumSplit)
{
    segments[0] = {0, size, false};
}

qint64 SegmentPlan::align(qint64 offset) const
{
    return (offset + alignment - 1) / alignment * alignment;
}

qint64 SegmentPlan::take()
{
    auto widest = segments.end();
    for (auto it = segments.begin(); it != segments.end(); ++it) {
        Segment &segment = it->second;
        if (segment.filled >= segment.end)
            continue;
        if (!segment.busy) {
            segment.busy = true;
            return it->first;
        }
        if (widest == segments.end()
            || segment.end - segment.filled > widest->second.end - widest->second.filled)
            widest = it;
    }
    if (widest == segments.end())
        return -1;
    Segment &split = widest->second;
    const qint64 middle = align(split.filled + (split.end - split.filled) / 2);
    if (middle - split.filled < minimumSplit || split.end - middle < minimumSplit)
        return -1;
    segments[middle] = {middle, split.end, true};
    split.end = middle;
    return middle;
}

qint64 SegmentPlan::doneBytes() const
{
    qint64 done = 0;
    for (const auto &[start, segment] : segments)
        done += segment.filled - start;
    return done;
}

qint64 SegmentPlan::prefix() const
{
    for (const auto &[start, segment] : segments) {
        if (segment.filled < segment.end)
            return segment.filled;
    }
    return fileSize;
}

qint64 SegmentPlan::extent() const
{
    qint64 reach = 0;
    for (const auto &[start, segment] : segments) {
        if (segment.filled > start)
            reach = segment.filled;
    }
    return reach;
}

int SegmentPlan::busyCount() const
{
    int busy = 0;
    for (const auto &[start, segment] : segments)
        busy += segment.busy ? 1 : 0;
    return busy;
}

void SegmentPlan::restorePrefix(qint64 bytes)
{
    segments.clear();
    bytes = qBound(qint64(0), bytes, fileSize);
    segments[0] = {bytes, fileSize, false};
}

QList<QPair<qint64, qint64>> SegmentPlan::held() const
{
    QList<QPair<qint64, qint64>> ranges;
    for (const auto &[start, segment] : segments) {
        if (segment.filled > start)
            ranges.append({start, segment.filled});
    }
    return ranges;
}

QByteArray SegmentPlan::save() const
{
    QByteArray text = QByteArray(Header) + ' ' + QByteArray::number(fileSize) + '\n';
    for (const auto &[start, filled] : held())
        text += QByteArray::number(start) + ' ' + QByteArray::number(filled) + '\n';
    return text;
}

bool SegmentPlan::restore(const QByteArray &saved)
{
    const QList<QByteArray> lines = saved.split('\n');
    const QList<QByteArray> head = lines.value(0).split(' ');
    bool ok = head.size() == 2 && head.at(0) == Header;
    if (!ok || head.at(1).toLongLong(&ok) != fileSize || !ok)
        return false;
    // Ranges in the file, in order and apart; a gap before each becomes a segment of its own.
    QList<QPair<qint64, qint64>> held;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        const QList<QByteArray> fields = lines.at(i).split(' ');
        bool startOk = false;
        bool filledOk = false;
        const qint64 start = fields.value(0).toLongLong(&startOk);
        const qint64 filled = fields.value(1).toLongLong(&filledOk);
        const qint64 previous = held.isEmpty() ? 0 : held.last().second;
        // Each starts where a split may fall: a request from anywhere else would begin inside a
        // block of a file checked by blocks, a block it could not check.
        if (fields.size() != 2 || !startOk || !filledOk || start < previous || filled <= start
            || filled > fileSize || start % alignment != 0)
            return false;
        held.append({start, filled});
    }
    segments.clear();
    qint64 cursor = 0;
    for (qsizetype i = 0; i < held.size(); ++i) {
        if (held.at(i).first > cursor)
            segments[cursor] = {cursor, held.at(i).first, false};
        const qint64 end = i + 1 < held.size() ? held.at(i + 1).first : fileSize;
        segments[held.at(i).first] = {held.at(i).second, end, false};
        cursor = end;
    }
    if (cursor < fileSize || segments.empty())
        segments[cursor] = {cursor, fileSize, false};
    return true;
}
