#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

/**
 * @class RangeInflater
 * @brief Inflates the unpacked bytes of a gzip-stored file from one of its access points on
 * (GzipAccessPoints), fed with the stored bytes from there as they arrive.
 *
 * The deflate stream is taken up at a bit offset: start() is given the bits of the point's
 * first byte that belong to it (its high 8 - skipBits bits) and the 32 KiB of unpacked content
 * before the point, which the blocks there may refer back to; feed() takes the stored bytes
 * that follow and hands what they inflate to the sink. It stops by itself after the length
 * given, which a range from one access point to another inflates to exactly.
 */
class RangeInflater
{
public:
    /// Receives unpacked bytes in order; false stops the inflating (as an error).
    using Sink = std::function<bool(QByteArrayView bytes)>;

    RangeInflater();
    ~RangeInflater();
    RangeInflater(const RangeInflater &) = delete;
    RangeInflater &operator=(const RangeInflater &) = delete;

    /**
     * Begins at a point whose first byte is @p firstByte, of which the lowest @p skipBits bits
     * (0 to 7) belong to the deflate block before; with 0 the first byte is fed like the others
     * and @p firstByte is ignored. @p dictionary is the unpacked content just before the point
     * (its last 32 KiB count); @p length the unpacked bytes wanted. False with the reason in
     * error() when zlib refuses.
     */
    bool start(char firstByte, int skipBits, QByteArrayView dictionary, qint64 length, Sink sink);
    /// Takes the next stored bytes. False once the data is not deflate data or the sink refused.
    bool feed(QByteArrayView stored);
    /// Whether the length asked for has been inflated.
    bool isComplete() const { return left == 0; }
    QString error() const { return problem; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream;
    Sink sink;
    qint64 left = 0;
    QByteArray output;
    QString problem;
};
