#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

/// Where a gzip-stored file can be inflated from without the bytes before it: the publisher
/// ends a deflate block (zlib's Z_BLOCK, which keeps the window) at every blocksPerPoint()-th
/// block boundary of the unpacked content and records the bit offset in the stored file at which
/// the next deflate block begins. A client that holds the 32 KiB of unpacked content before such
/// a point inflates from there on alone (RangeInflater), and so fetches only the stored bytes of
/// the blocks it lacks. The stored file stays one valid gzip file.
///
/// In the side file, after the file's "blocks" line, which describes its unpacked content:
///
///     points <blocks per point> <count> <data> <section>/<key>
///
/// The data is the base64 (standard alphabet, padded) of the bit offsets, the first one as a
/// number and each further one as its distance from the one before, each an unsigned LEB128
/// number (seven bits a byte, low first). Point i stands for the unpacked offset
/// i × blocks per point × block size.
class GzipAccessPoints
{
public:
    GzipAccessPoints() = default;
    GzipAccessPoints(int blocksPerPoint, QVector<qint64> bitOffsets)
        : every(blocksPerPoint), offsets(std::move(bitOffsets))
    {
    }

    int blocksPerPoint() const { return every; }
    int count() const { return int(offsets.size()); }
    qint64 bitOffset(int point) const { return offsets.at(point); }

    /// The side file line for @p path ("section/key").
    QByteArray toLine(const QString &path) const;
    /**
     * Reads a line made by toLine(). False with the reason in @p problem for another kind of
     * line, numbers not written as toLine() writes them, data that does not hold @p count
     * increasing offsets, or a path without a section and key.
     */
    static bool fromLine(const QByteArray &line, GzipAccessPoints *out, QString *path,
                         QString *problem);

    friend bool operator==(const GzipAccessPoints &a, const GzipAccessPoints &b)
    {
        return a.every == b.every && a.offsets == b.offsets;
    }

private:
    int every = 1;
    QVector<qint64> offsets;
};
