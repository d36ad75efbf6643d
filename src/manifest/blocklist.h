#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

class EvpDigest;
class QIODevice;

/// The block list of one file's content, which lets an updater find the blocks of a new version
/// in the installed file and fetch only the others: the content cut into blocks of a fixed size
/// (the last one may be shorter), and per block a weak rolling checksum (RollingChecksum) and
/// the first StrongSize bytes of its SHA-256.
///
/// Eight bytes of SHA-256 are enough: a strong digest is only compared where the weak checksums
/// agree. Scanning 2 GiB against 2^16 blocks, that is 2^16 true matches and, with a chance
/// weak match every 2^16 bytes, some 2^15 others: a false strong match has odds of 2^-47 per
/// such file. Even then no wrong file is installed, as the file put together is checked against
/// its whole SHA-256 and fetched whole when it does not match. Four bytes would make that
/// refetch a matter of every few ten thousand runs. SHA-256 rather than MD5, which would do as
/// well, because with the processor's SHA instructions it runs at twice MD5's speed.
///
/// In the side file the list is one line, the path last as in the sha256 lines:
///
///     blocks <block size> <file size> <data> <section>/<key>
///
/// Numbers in decimal without leading zeros; the data is the base64 (standard alphabet) of the
/// blocks' weak checksums and strong digests, 4 and 8 bytes big-endian per block, which makes
/// 16 characters per block without padding; empty for an empty file. Base64 rather than
/// hexadecimal: every update carries the lists of all large files of the release.
class BlockList
{
public:
    static constexpr int StrongSize = 8;
    /// The block sizes a list may have, powers of two.
    static constexpr qint64 MinBlockSize = 1024;
    static constexpr qint64 MaxBlockSize = 1024 * 1024;

    // Packed to 12 bytes: the list of a 2 GiB file holds half a million of them.
#pragma pack(push, 4)
    struct Block
    {
        quint32 weak = 0;
        /// The first StrongSize bytes of the SHA-256, big-endian.
        quint64 strong = 0;

        friend bool operator==(const Block &a, const Block &b)
        {
            return a.weak == b.weak && a.strong == b.strong;
        }
        friend bool operator!=(const Block &a, const Block &b) { return !(a == b); }
    };
#pragma pack(pop)

    /// Content below this many bytes is cut into blocks of MinBlockSize.
    static constexpr qint64 FinestUpTo = 8 * 1024 * 1024;

    /**
     * The block size for content of @p fileSize bytes: 1 KiB below FinestUpTo, 2 KiB below
     * 100 MiB, 4 KiB up to 2 GiB (524,288 blocks); beyond, the smallest power of two that keeps
     * it at that many blocks, at most 64 KiB. A list takes 12 of every block's bytes (1.2 % of
     * the file at 1 KiB, 16 characters as base64, some 12 bytes gzip-compressed), a changed
     * piece costs its blocks: 1 % of a 5 MiB file changed in 50 pieces of 1 KiB fetches 100 KiB
     * and a list of 61 KiB with blocks of 1 KiB, 144 KiB and 30 KiB with 2 KiB, 236 KiB and 15
     * KiB with 4 KiB. Updaters fetch the list of a changed file only, so finer blocks pay where
     * a file changes in many places; above 8 MiB the list of a file changed in a few places
     * would cost more than the blocks it saves. The cap keeps a list at most 8 MiB; the
     * matcher indexes 65536 blocks fully, which 1 and 2 KiB blocks stay within (BlockMatcher).
     */
    static qint64 blockSizeFor(qint64 fileSize);

    /**
     * The block size of the lists in a release's side file for a file stored as it is: 4 KiB up
     * to 2 GiB, larger beyond as blockSizeFor(). Updaters that read the lists from the side file
     * fetch all of them at every update; finer lists would multiply what they fetch.
     */
    static qint64 sideFileBlockSizeFor(qint64 fileSize);

    /**
     * The block size for the unpacked content of a file stored gzip-compressed, @p fileSize
     * bytes unpacked: as blockSizeFor(), 2 KiB at least. The publisher ends a deflate block at
     * every block (GzipAccessPoints), which costs the stored file 5.3 % of text-like data with
     * blocks of 1 KiB, 2.6 % with 2 KiB and 1.2 % with 4 KiB, and every whole download pays it.
     */
    static qint64 packedBlockSizeFor(qint64 fileSize)
    {
        return qMax(blockSizeFor(fileSize), qint64(2 * 1024));
    }

    /**
     * The list of everything @p device gives until its end, read in pieces. False with the
     * reason in @p problem when a read fails or @p blockSize is not one a list may have.
     */
    static bool build(QIODevice *device, qint64 blockSize, BlockList *out, QString *problem);

    /// The side file line of this list for @p path ("section/key").
    QByteArray toLine(const QString &path) const;

    /**
     * Reads a side file line made by toLine(). False with the reason in @p problem for another
     * kind of line, a block size a list may not have, numbers or data not written as toLine()
     * writes them, data that does not hold one entry per block, or a path without a section and
     * key.
     */
    static bool fromLine(const QByteArray &line, BlockList *out, QString *path, QString *problem);

    /// The strong digest of a block, as the list holds it; @p digest is the SHA-256 to use.
    static quint64 strongOf(EvpDigest *digest, QByteArrayView data);

    /**
     * How far the bytes of @p device from @p from on are the listed content: the end of the run
     * of whole blocks from @p from, up to @p to, that match their strong digests, stopped by the
     * first one that does not or cannot be read. @p from itself when it is not where a block
     * starts. A block that @p to cuts short is not proven.
     */
    qint64 provenUpTo(QIODevice *device, qint64 from, qint64 to) const;

    qint64 blockSize() const
    {
        return size;
    }
    qint64 fileSize() const
    {
        return length;
    }
    int count() const
    {
        return int(entries.size());
    }
    const Block &block(int index) const
    {
        return entries.at(index);
    }
    qint64 offsetOf(int index) const
    {
        return index * size;
    }
    qint64 lengthOf(int index) const
    {
        return qMin(size, length - index * size);
    }

    friend bool operator==(const BlockList &a, const BlockList &b)
    {
        return a.size == b.size && a.length == b.length && a.entries == b.entries;
    }
    friend bool operator!=(const BlockList &a, const BlockList &b)
    {
        return !(a == b);
    }

private:
    static bool isBlockSize(qint64 blockSize);

    qint64 size = MinBlockSize;
    qint64 length = 0;
    QList<Block> entries;
};
