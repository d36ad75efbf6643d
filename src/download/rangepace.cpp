#include "download/rangepace.h"

#include <limits>

RangePace::RangePace(qint64 askedBytes, int stallTicks, const Rule &rule)
    : asked(askedBytes), stallTicks(stallTicks)
{
    const qint64 needed = askedBytes / qMax(qint64(1), rule.minBytesPerTick) + rule.graceTicks;
    maxTicks_ = int(qMin(needed, qint64(std::numeric_limits<int>::max())));
    window.setLimit(rule.minBytesPerTick, rule.windowTicks);
    window.restart(0);
}

QString RangePace::tick(qint64 bytes)
{
    ++ticks_;
    received_ += bytes;
    idleTicks_ = bytes > 0 ? 0 : idleTicks_ + 1;
    if (idleTicks_ > stallTicks)
        return tr("no data for %1 seconds").arg(idleTicks_);
    if (window.tick(received_))
        return tr("too slow: under %1 bytes a second over %2 seconds")
            .arg(window.limitBytesPerTick())
            .arg(window.limitTicks());
    if (ticks_ > maxTicks_)
        return tr("too slow: %1 of %2 bytes in %3 seconds").arg(received_).arg(asked).arg(ticks_);
    return QString();
}
