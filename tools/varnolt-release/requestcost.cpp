#include "requestcost.h"

#include <QUrl>

namespace {

constexpr int FirstRequestRanges = 2;
constexpr int RangesPerRequest = 64;

} // namespace

void RequestCost::addFile(const QString &remotePath)
{
    add(remotePath, 1);
}

void RequestCost::addRanges(const QString &remotePath, int ranges)
{
    if (ranges <= 0)
        return;
    const int later = qMax(0, ranges - FirstRequestRanges);
    add(remotePath, 1 + (later + RangesPerRequest - 1) / RangesPerRequest);
    if (ranges > 1)
        total += ranges * RangePartBytes;
}

void RequestCost::add(const QString &remotePath, int requests)
{
    // The path as it travels: percent-encoded.
    const qint64 path
        = QUrl::toPercentEncoding(version + QLatin1Char('/') + remotePath, "/").size();
    total += requests * (RequestBytes + path);
    count += requests;
}
