#pragma once

#include <QByteArrayView>

#include <array>

/// The weak checksum of a window of bytes, which moves one byte along in constant time: two
/// 16-bit sums in the style of Adler-32, the plain sum and the sum weighted by the distance to
/// the window's end, put together as sum weighted << 16 | plain sum.
///
/// Each byte enters the sums through a fixed table of random 16-bit values instead of as itself:
/// the plain sum of a few thousand bytes of text spans only a few thousand of the 65536 values,
/// which would make unrelated windows share checksums and cost a strong digest each.
class RollingChecksum
{
public:
    /// The checksum of @p window, which becomes the window to roll.
    void reset(QByteArrayView window);

    /**
     * Moves the window along a byte at a time over the bytes from @p window on, of which the
     * first ones are the current window: at most @p steps times, stopping after the first step
     * where @p stop(value()) holds. Returns the steps taken. The sums stay in local variables
     * on the way: kept in the object, each step would store them, and as far as the compiler
     * knows, a store might change the bytes it reads next.
     */
    template<typename Stop> qint64 rollUntil(const char *window, qint64 steps, Stop stop)
    {
        quint32 a = plain, b = weighted;
        const quint32 n = length;
        const quint32 *table = Table.data();
        qint64 step = 0;
        while (step < steps) {
            const quint32 leaving = table[uchar(window[step])];
            a += table[uchar(window[step + n])] - leaving;
            b += a - n * leaving;
            ++step;
            if (stop((b << 16) | (a & 0xffffu)))
                break;
        }
        plain = a;
        weighted = b;
        return step;
    }

    quint32 value() const { return (weighted << 16) | (plain & 0xffffu); }

    /// The checksum of @p window by itself.
    static quint32 of(QByteArrayView window);

private:
    static const std::array<quint32, 256> Table;

    // Both sums are kept modulo 2^32, which is also right modulo 2^16.
    quint32 plain = 0;
    quint32 weighted = 0;
    quint32 length = 0;
};
