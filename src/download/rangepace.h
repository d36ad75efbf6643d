#pragma once

#include "download/slowtransferwatch.h"

#include <QCoreApplication>
#include <QString>

/**
 * @class RangePace
 * @brief Judges one range request at each engine tick (one second): whether it has stalled,
 * crawled over the slowness window, or run longer than its size allows.
 *
 * The window alone would let a request for a few KB crawl for minutes, or for hours at a byte
 * now and then: such a request ends within the window. So a request also may not take more
 * ticks than its bytes need at the window's rate, plus a grace for connecting and the first
 * answer. A large request is judged by the window only in practice.
 *
 * Not a Qt object; one a request.
 */
class RangePace
{
    Q_DECLARE_TR_FUNCTIONS(RangePace)

public:
    /// Ticks any request may take beyond what its bytes need at the slowness rate.
    static constexpr int DefaultGraceTicks = 10;

    struct Rule
    {
        qint64 minBytesPerTick = SlowTransferWatch::DefaultMinBytesPerTick;
        int windowTicks = SlowTransferWatch::DefaultWindowTicks;
        int graceTicks = DefaultGraceTicks;
    };

    RangePace() = default;
    /// A request for @p askedBytes that stalls after more than @p stallTicks ticks without data.
    RangePace(qint64 askedBytes, int stallTicks, const Rule &rule);

    /// Records a tick in which @p bytes arrived. Returns why the request is to be given up, for
    /// the log; empty while it may go on.
    QString tick(qint64 bytes);
    /// Counts @p bytes that arrived between ticks, as when the request ended.
    void add(qint64 bytes) { received_ += bytes; }

    qint64 received() const { return received_; }
    int ticks() const { return ticks_; }
    int idleTicks() const { return idleTicks_; }
    /// The bytes a tick so far, a request that ended before its first tick counted as one tick.
    qint64 perTick() const { return received_ / qMax(1, ticks_); }
    /// The ticks the request may take at most.
    int maxTicks() const { return maxTicks_; }

private:
    qint64 asked = 0;
    int stallTicks = 0;
    int maxTicks_ = 0;
    qint64 received_ = 0;
    int ticks_ = 0;
    int idleTicks_ = 0;
    SlowTransferWatch window;
};
