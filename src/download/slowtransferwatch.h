#pragma once

#include <QVector>

/**
 * @class SlowTransferWatch
 * @brief Tells when a transfer has averaged too few bytes per tick over its last window.
 *
 * Each body byte restarts a download's stall count, so a mirror sending a byte now and then
 * would never stall; the average over the last window of ticks catches it. A transfer is judged
 * only once it has run a whole window.
 *
 * Not a Qt object; owned by one download.
 */
class SlowTransferWatch
{
public:
    /// A transfer that averages fewer body bytes per engine tick (one second) than this over
    /// DefaultWindowTicks ticks is too slow.
    static constexpr qint64 DefaultMinBytesPerTick = 1024;
    static constexpr int DefaultWindowTicks = 30;

    /// Replaces the rule: at least @p bytesPerTick over @p windowTicks (at least 1) ticks.
    void setLimit(qint64 bytesPerTick, int windowTicks);
    qint64 limitBytesPerTick() const { return minBytesPerTick; }
    int limitTicks() const { return windowTicks; }

    /// A new transfer begins with @p bytes counted so far.
    void restart(qint64 bytes) { samples = {bytes}; }
    /// No transfer is watched.
    void clear() { samples.clear(); }

    /// Records a tick at which @p bytes are counted; true when the transfer is too slow.
    bool tick(qint64 bytes);

private:
    qint64 minBytesPerTick = DefaultMinBytesPerTick;
    int windowTicks = DefaultWindowTicks;
    // The bytes at the start and at each tick since, at most windowTicks + 1 of them.
    QVector<qint64> samples;
};
