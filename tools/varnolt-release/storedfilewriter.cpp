#include "storedfilewriter.h"

#include "manifest/blocklist.h"
#include "manifest/checksigfunc.h"
#include "manifest/gzipaccesspoints.h"
#include "manifest/sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QVector>

#include <zlib.h>

namespace {

constexpr qint64 ChunkSize = 64 * 1024;
// What deflateInit2() writes before the deflate data of a gzip member without a header of its own.
constexpr qint64 GzipHeaderSize = 10;

StoredFileWriter::Result failed(StoredFileWriter::Status status, const QString &error)
{
    StoredFileWriter::Result result;
    result.status = status;
    result.error = error;
    return result;
}

} // namespace

StoredFileWriter::Result StoredFileWriter::copy(const QString &from, const QString &to,
                                                qint64 blockListMinSize, const QString &sidePath)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return failed(InputFailed,
                      QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failed(OutputFailed,
                      QStringLiteral("cannot write %1: %2").arg(to, out.errorString()));

    QCryptographicHash hash(QCryptographicHash::Md5);
    Sha256 strong;
    Result result;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(ChunkSize);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError)
            return failed(InputFailed,
                          QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
        if (out.write(chunk) != chunk.size())
            return failed(OutputFailed,
                          QStringLiteral("cannot write %1: %2").arg(to, out.errorString()));
        hash.addData(chunk);
        strong.addData(chunk);
        result.size += quint64(chunk.size());
    }
    if (!out.flush())
        return failed(OutputFailed,
                      QStringLiteral("cannot write %1: %2").arg(to, out.errorString()));
    result.md5 = QString::fromLatin1(hash.result().toHex());
    result.sha256 = strong.result();
    if (result.size == 0 || qint64(result.size) < blockListMinSize)
        return result;
    // Read back from the page cache it was just written to.
    QFile stored(to);
    BlockList blocks;
    QString problem;
    if (!stored.open(QIODevice::ReadOnly)
        || !BlockList::build(&stored, BlockList::blockSizeFor(qint64(result.size)), &blocks,
                             &problem))
        return failed(OutputFailed, QStringLiteral("cannot read back %1 %2").arg(to, problem));
    result.blockLine = blocks.toLine(sidePath);
    result.sideBlockLine = result.blockLine;
    const qint64 sideBlockSize = BlockList::sideFileBlockSizeFor(qint64(result.size));
    if (sideBlockSize == blocks.blockSize())
        return result;
    if (!stored.seek(0) || !BlockList::build(&stored, sideBlockSize, &blocks, &problem))
        return failed(OutputFailed, QStringLiteral("cannot read back %1 %2").arg(to, problem));
    result.sideBlockLine = blocks.toLine(sidePath);
    return result;
}

StoredFileWriter::Result StoredFileWriter::gzip(const QString &from, const QString &to,
                                                qint64 blockListMinSize, const QString &sidePath)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return failed(InputFailed,
                      QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failed(OutputFailed, QStringLiteral("cannot write %1").arg(to));

    // Access points at block boundaries of the unpacked content, for the files that get a block
    // list: the client inflates the blocks it lacks from the point before them on.
    const qint64 sourceSize = in.size();
    const bool withPoints = blockListMinSize > 0 && sourceSize >= blockListMinSize;
    const qint64 blockSize = BlockList::packedBlockSizeFor(sourceSize);
    const qint64 pointStep = blockSize * BlocksPerPoint;

    z_stream z = {};
    // Level 9 with zlib's default memory, as "gzip -9"; 31: a gzip member with the default,
    // 10-byte header.
    if (deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return failed(OutputFailed, QStringLiteral("zlib cannot compress %1").arg(from));
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    const auto deflateAll = [&](int flush) {
        do {
            z.next_out = reinterpret_cast<Bytef *>(buffer.data());
            z.avail_out = uInt(buffer.size());
            const int status = deflate(&z, flush);
            if (status == Z_STREAM_ERROR)
                return false;
            const qint64 produced = buffer.size() - qint64(z.avail_out);
            if (produced > 0 && out.write(buffer.constData(), produced) != produced)
                return false;
        } while (z.avail_out == 0 || z.avail_in > 0);
        return true;
    };

    QCryptographicHash hash(QCryptographicHash::Md5);
    Sha256 strong;
    QVector<qint64> points;
    if (withPoints)
        points.append(GzipHeaderSize * 8);
    Result result;
    bool ok = true;
    while (ok && !in.atEnd()) {
        // No piece crosses an access point, so that each ends a deflate block of its own.
        const qint64 toPoint
            = withPoints ? pointStep - qint64(result.unpackedSize) % pointStep : ChunkSize;
        const QByteArray chunk = in.read(qMin(ChunkSize, toPoint));
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            deflateEnd(&z);
            return failed(InputFailed,
                          QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
        }
        hash.addData(chunk);
        strong.addData(chunk);
        result.unpackedSize += quint64(chunk.size());
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.constData()));
        z.avail_in = uInt(chunk.size());
        ok = deflateAll(Z_NO_FLUSH);
        if (ok && withPoints && qint64(result.unpackedSize) % pointStep == 0
            && qint64(result.unpackedSize) < sourceSize) {
            // Z_BLOCK ends the deflate block without a byte boundary and keeps the window:
            // the next block begins at the bit after those zlib still holds.
            ok = deflateAll(Z_BLOCK);
            unsigned pendingBytes = 0;
            int pendingBits = 0;
            ok = ok && deflatePending(&z, &pendingBytes, &pendingBits) == Z_OK && pendingBytes == 0;
            points.append(qint64(z.total_out) * 8 + pendingBits);
        }
    }
    ok = ok && deflateAll(Z_FINISH);
    deflateEnd(&z);
    if (!ok || !out.flush())
        return failed(OutputFailed, QStringLiteral("cannot write %1").arg(to));
    out.close();
    result.unpackedMd5 = QString::fromLatin1(hash.result().toHex());

    if (withPoints) {
        // The list describes the unpacked content, which the client puts together.
        BlockList blocks;
        QString problem;
        if (!in.seek(0) || !BlockList::build(&in, blockSize, &blocks, &problem))
            return failed(InputFailed, QStringLiteral("cannot read %1 %2").arg(from, problem));
        result.blockLine = blocks.toLine(sidePath) + '\n'
            + GzipAccessPoints(BlocksPerPoint, points).toLine(sidePath) + '\n' + "sha256-unpacked "
            + strong.result().toHex() + ' ' + sidePath.toUtf8();
        result.sideBlockLine = result.blockLine;
    }

    // The stored bytes are what the updater downloads and checks.
    QFile stored(to);
    QByteArray rawMd5;
    if (!stored.open(QIODevice::ReadOnly)
        || !CheckSigFunc::digestsOf(stored, &rawMd5, &result.sha256))
        return failed(OutputFailed, QStringLiteral("cannot read back %1").arg(to));
    result.md5 = QString::fromLatin1(rawMd5.toHex());
    result.size = quint64(stored.size());
    return result;
}
