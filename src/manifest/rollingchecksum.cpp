#include "manifest/rollingchecksum.h"

namespace {

// The table belongs to the block list format: changing it makes every published weak checksum
// wrong. SplitMix64 from a fixed seed gives it without 256 literals to copy.
constexpr std::array<quint32, 256> makeTable()
{
    std::array<quint32, 256> table = {};
    quint64 state = 0x76a26e6f6c74ull;
    for (quint32 &entry : table) {
        state += 0x9e3779b97f4a7c15ull;
        quint64 z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        entry = quint32(z & 0xffffu);
    }
    return table;
}

} // namespace

const std::array<quint32, 256> RollingChecksum::Table = makeTable();

void RollingChecksum::reset(QByteArrayView window)
{
    plain = 0;
    weighted = 0;
    length = quint32(window.size());
    quint32 distance = length;
    for (const char byte : window) {
        const quint32 value = Table[uchar(byte)];
        plain += value;
        weighted += distance * value;
        --distance;
    }
}

quint32 RollingChecksum::of(QByteArrayView window)
{
    RollingChecksum checksum;
    checksum.reset(window);
    return checksum.value();
}
