#pragma once

#include "download/blockreceiver.h"
#include "download/rangeinflater.h"

#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

/**
 * @class RangeSink
 * @brief Where the parts of an answer to a range request go: each part's bytes, in order, as
 * the stored file's bytes from the part's first offset on, become blocks of the new file.
 */
class RangeSink
{
public:
    enum Result {
        Taken, ///< the bytes were taken; the blocks they completed were right and written
        WrongBlock, ///< a block they completed is wrong (wrongBlock()): the sender's fault
        Failed ///< the new file could not be written, or its source read (problem())
    };

    virtual ~RangeSink() = default;
    /// A part begins at @p offset of the stored file; false when no range asked for does.
    virtual bool begin(qint64 offset) = 0;
    /// The part's next bytes.
    virtual Result take(QByteArrayView bytes) = 0;
    /// Whether every block the request asked for is in the file.
    virtual bool complete() const = 0;
    /// The block take() found wrong.
    virtual int wrongBlock() const = 0;
    /// Why take() failed.
    virtual QString problem() const = 0;
};

/// The sink of a file stored as it is: the stored bytes are the new file's.
class PlainRangeSink : public RangeSink
{
public:
    /// For a request of @p asked ranges (offset, length), into @p receiver (not owned).
    PlainRangeSink(BlockReceiver *receiver, const QList<QPair<qint64, qint64>> &asked);
    bool begin(qint64 offset) override;
    Result take(QByteArrayView bytes) override;
    bool complete() const override;
    int wrongBlock() const override { return receiver->wrongBlock(); }
    QString problem() const override { return why; }

private:
    BlockReceiver *receiver;
    QList<QPair<qint64, qint64>> asked;
    BlockReceiver::Piece piece;
    qint64 position = 0;
    QString why;
};

/**
 * The sink of a gzip-stored file: each range starts at an access point (GzipAccessPoints) and is
 * inflated on its own (RangeInflater), primed with the 32 KiB of the new file before it, which
 * the dictionary function gives when its part begins; the inflated bytes are the new file's.
 * Those bytes may be blocks of an earlier part of the same answer. A part that runs on into the
 * next range (a mirror may join close ranges) starts that range at its point. A part whose bytes
 * before are not in the file then (an earlier part left out, cut short or sent later) is
 * skipped, its blocks left to fetch again. Deflate data that does not inflate counts as a wrong
 * block, as bytes of the new file that are wrong would.
 */
class PackedRangeSink : public RangeSink
{
public:
    struct Range
    {
        qint64 storedOffset = 0; ///< the byte that holds the point's first bit
        int skipBits = 0; ///< bits of that byte that belong to the block before
        qint64 unpackedOffset = 0;
        qint64 unpackedLength = 0;
    };
    /// What the dictionary function found of the bytes before a range.
    enum class Before {
        Read, ///< all of them, given
        NotYet, ///< some are not in the file yet
        Unreadable ///< some cannot be read (with why)
    };
    /// Gives the new file's bytes before @p unpackedOffset (up to 32 KiB).
    using Dictionary
        = std::function<Before(qint64 unpackedOffset, QByteArray *bytes, QString *why)>;

    PackedRangeSink(BlockReceiver *receiver, const QList<Range> &ranges, Dictionary dictionary);
    bool begin(qint64 offset) override;
    Result take(QByteArrayView bytes) override;
    bool complete() const override;
    int wrongBlock() const override { return wrong; }
    QString problem() const override { return why; }

private:
    Result startInflating(char firstByte);
    // Takes bytes of the current range's part only.
    Result takeOwn(QByteArrayView bytes);

    BlockReceiver *receiver;
    QList<Range> ranges;
    Dictionary dictionary;
    // The range of the part being read, -1 for none; whether its inflater has started.
    int current = -1;
    bool started = false;
    // The stored file's offset of the next byte of the part.
    qint64 position = 0;
    RangeInflater inflater;
    BlockReceiver::Piece piece;
    qint64 unpackedPosition = 0;
    BlockReceiver::Result received = BlockReceiver::Taken;
    int wrong = -1;
    QString why;
};
