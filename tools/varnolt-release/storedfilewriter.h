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
        /// The side file's blocks line of a copied file (BlockList), when it was asked for.
        QByteArray blockLine;
    };

    /**
     * Copies @p from to @p to, digesting the bytes on their way. A file of @p blockListMinSize
     * bytes or more gets its block list, for the side file under @p sidePath ("section/key").
     */
    static Result copy(const QString &from, const QString &to, qint64 blockListMinSize,
                       const QString &sidePath);
    /// Stores @p from gzip-compressed (level 9) at @p to.
    static Result gzip(const QString &from, const QString &to);
};
