#include "download/slowtransferwatch.h"

#include <QtGlobal>

void SlowTransferWatch::setLimit(qint64 bytesPerTick, int ticks)
{
    minBytesPerTick = bytesPerTick;
    windowTicks = qMax(1, ticks);
}

bool SlowTransferWatch::tick(qint64 bytes)
{
    samples.append(bytes);
    if (samples.size() <= windowTicks)
        return false;
    if (samples.size() > windowTicks + 1)
        samples.removeFirst();
    const qint64 received = samples.last() - samples.first();
    return received < minBytesPerTick * (samples.size() - 1);
}
