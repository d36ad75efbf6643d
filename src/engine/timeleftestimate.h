#pragma once

#include <QString>
#include <QtGlobal>

/**
 * @class TimeLeftEstimate
 * @brief The time a run's downloads have left, from their recent speed, steady enough to read.
 *
 * Fed once per engine tick (one second) with what the engine reports. The speed is averaged
 * exponentially, the newest tick weighing Smoothing, so that one fast or slow second moves the
 * estimate little and a lasting change of the line shows within some twenty seconds. Nothing is
 * estimated before WarmUpTicks ticks of downloading, nor while nothing arrives. The seconds are
 * rounded (to 5 below a minute, to 10 below an hour, to whole minutes above) so that the text
 * does not flicker from one tick to the next.
 */
class TimeLeftEstimate
{
public:
    static constexpr double Smoothing = 0.1;
    static constexpr int WarmUpTicks = 3;

    /// One tick: @p done of @p total bytes, @p speed bytes since the previous tick, and whether
    /// a download is under way; a tick without one starts the estimate afresh.
    void tick(quint64 done, quint64 total, quint64 speed, bool downloading);
    /// The rounded seconds left, or -1 when there is no estimate.
    qint64 secondsLeft() const;
    /// @p seconds as "m:ss", or "h:mm:ss" from an hour on.
    static QString format(qint64 seconds);

private:
    double averageSpeed = 0.0;
    int ticks = 0;
    quint64 bytesLeft = 0;
};
