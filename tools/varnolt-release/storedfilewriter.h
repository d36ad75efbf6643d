#pragma once

#include <QByteArray>
#include <QString>

/// Writes one file of the client tree into the mirror tree, as stored (a copy) or gzip-compressed,
/// and gives the digests the manifest and the side file record of it.
///
/// Nothing is synced here: the release tool makes the whole tree durable once, before it signs
/// the manifest, so that a signed release never names a file that is not on disk.
class StoredFileWriter
{
public:
    enum Status {
        Stored,
        InputFailed, ///< the source file cannot be read
        OutputFailed ///< the stored file cannot be written or read back
    };

    struct Result
    {
        Status status = Stored;
        /// Why it failed, for the tool's error line.
        QString error;
        /// MD5 (hex), size and raw SHA-256 of the stored bytes.
        QString md5;
        quint64 size = 0;
        QByteArray sha256;
        /// For a compressed file, MD5 (hex) and size of the source, which the updater unpacks.
        QString unpackedMd5;
        quint64 unpackedSize = 0;
        /// The side file's lines after the digests, when a block list was asked for: the blocks
        /// line of a copied file (BlockList); for a compressed one, the blocks line of its
        /// unpacked content, its access points (GzipAccessPoints) and the unpacked content's
        /// SHA-256 ("sha256-unpacked DIGEST SECTION/KEY"), one per line. The file's own list
        /// file carries them.
        QByteArray blockLine;
        /// The same lines for the side file: for a copied file, its list with the side file's
        /// block size (BlockList::sideFileBlockSizeFor()); for a compressed one, blockLine, whose
        /// access points the stored file was made for.
        QByteArray sideBlockLine;
    };

    /**
     * Copies @p from to @p to, digesting the bytes on their way. A file of @p blockListMinSize
     * bytes or more gets its block list, for the side file under @p sidePath ("section/key").
     */
    static Result copy(const QString &from, const QString &to, qint64 blockListMinSize,
                       const QString &sidePath);
    /// Deflate blocks end at every this many blocks of the unpacked content's list.
    static constexpr int BlocksPerPoint = 1;

    /**
     * Stores @p from gzip-compressed (level 9) at @p to, one gzip member. A source of
     * @p blockListMinSize bytes or more (0: none) gets access points every BlocksPerPoint
     * blocks and the lines for the side file under @p sidePath.
     */
    static Result gzip(const QString &from, const QString &to, qint64 blockListMinSize = 0,
                       const QString &sidePath = QString());
};
