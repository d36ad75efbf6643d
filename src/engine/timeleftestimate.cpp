#include "engine/timeleftestimate.h"

#include <cmath>

void TimeLeftEstimate::tick(quint64 done, quint64 total, quint64 speed, bool downloading)
{
    if (!downloading) {
        *this = TimeLeftEstimate();
        return;
    }
    averageSpeed
        = ticks == 0 ? double(speed) : Smoothing * double(speed) + (1.0 - Smoothing) * averageSpeed;
    ++ticks;
    bytesLeft = total > done ? total - done : 0;
}

qint64 TimeLeftEstimate::secondsLeft() const
{
    // Below a byte a second the line is as good as stalled: no number would mean anything.
    if (ticks < WarmUpTicks || averageSpeed < 1.0)
        return -1;
    const double seconds = std::ceil(double(bytesLeft) / averageSpeed);
    const qint64 step = seconds < 60 ? 5 : seconds < 3600 ? 10 : 60;
    return qint64(std::ceil(seconds / double(step))) * step;
}

QString TimeLeftEstimate::format(qint64 seconds)
{
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString secs = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secs);
    return QStringLiteral("%1:%2").arg(minutes).arg(secs);
}
