#include "storedfilewriter.h"

#include "manifest/blocklist.h"
#include "manifest/checksigfunc.h"
#include "manifest/sha256.h"

#include <QCryptographicHash>
#include <QFile>

#include <zlib.h>

namespace {

constexpr qint64 ChunkSize = 64 * 1024;

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
    return result;
}

StoredFileWriter::Result StoredFileWriter::gzip(const QString &from, const QString &to)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return failed(InputFailed,
                      QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
    gzFile out = gzopen(QFile::encodeName(to).constData(), "wb9");
    if (!out)
        return failed(OutputFailed, QStringLiteral("cannot write %1").arg(to));

    QCryptographicHash hash(QCryptographicHash::Md5);
    Result result;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(ChunkSize);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            gzclose(out);
            return failed(InputFailed,
                          QStringLiteral("cannot read %1: %2").arg(from, in.errorString()));
        }
        if (!chunk.isEmpty()
            && gzwrite(out, chunk.constData(), unsigned(chunk.size())) != int(chunk.size())) {
            gzclose(out);
            return failed(OutputFailed, QStringLiteral("cannot write %1").arg(to));
        }
        hash.addData(chunk);
        result.unpackedSize += quint64(chunk.size());
    }
    if (gzclose(out) != Z_OK)
        return failed(OutputFailed, QStringLiteral("cannot write %1").arg(to));
    result.unpackedMd5 = QString::fromLatin1(hash.result().toHex());

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
