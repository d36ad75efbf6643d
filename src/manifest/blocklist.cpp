#include "manifest/blocklist.h"

#include "manifest/rollingchecksum.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>

namespace {

// An entry's 12 bytes are 16 base64 characters, without padding: the entries need no separator.
constexpr int EntryBytes = 4 + BlockList::StrongSize;
constexpr int EntryChars = EntryBytes / 3 * 4;
static_assert(EntryBytes % 3 == 0, "entries must fill whole base64 groups");
// Enough for any file; more would let 64-bit arithmetic on sizes overflow.
constexpr int MaxNumberDigits = 15;

bool isBase64(QByteArrayView text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '+' || c == '/';
    });
}

// The next blank-separated field of line from position on; position moves past its blank.
bool nextField(QByteArrayView line, qsizetype *position, QByteArrayView *field)
{
    const qsizetype blank = line.indexOf(' ', *position);
    if (blank < 0)
        return false;
    *field = line.sliced(*position, blank - *position);
    *position = blank + 1;
    return true;
}

} // namespace

bool BlockList::isBlockSize(qint64 blockSize)
{
    return blockSize >= MinBlockSize && blockSize <= MaxBlockSize
        && (blockSize & (blockSize - 1)) == 0;
}

qint64 BlockList::blockSizeFor(qint64 fileSize)
{
    constexpr qint64 MiB = 1024 * 1024;
    if (fileSize < FinestUpTo)
        return MinBlockSize;
    if (fileSize < 100 * MiB)
        return 2 * 1024;
    return sideFileBlockSizeFor(fileSize);
}

qint64 BlockList::sideFileBlockSizeFor(qint64 fileSize)
{
    constexpr qint64 Largest = 64 * 1024;
    constexpr qint64 MostBlocks = 512 * 1024;
    qint64 blockSize = 4 * 1024;
    while (blockSize < Largest && fileSize > blockSize * MostBlocks)
        blockSize *= 2;
    return blockSize;
}

quint64 BlockList::strongOf(EvpDigest *digest, QByteArrayView data)
{
    digest->addData(data);
    return qFromBigEndian<quint64>(digest->result().constData());
}

bool BlockList::build(QIODevice *device, qint64 blockSize, BlockList *out, QString *problem)
{
    if (!isBlockSize(blockSize)) {
        *problem = QStringLiteral("%1 is not a block size").arg(blockSize);
        return false;
    }
    out->size = blockSize;
    out->length = 0;
    out->entries.clear();
    Sha256 digest;
    QByteArray block(blockSize, Qt::Uninitialized);
    for (;;) {
        // A device may give less than asked before its end (a pipe, a socket): fill the block.
        qint64 filled = 0;
        while (filled < blockSize) {
            const qint64 got = device->read(block.data() + filled, blockSize - filled);
            if (got < 0) {
                *problem = QStringLiteral("cannot read at %1: %2")
                               .arg(out->length + filled)
                               .arg(device->errorString());
                return false;
            }
            if (got == 0)
                break;
            filled += got;
        }
        if (filled == 0)
            return true;
        const QByteArrayView data(block.constData(), filled);
        out->entries.append({RollingChecksum::of(data), strongOf(&digest, data)});
        out->length += filled;
        if (filled < blockSize)
            return true;
    }
}

qint64 BlockList::provenUpTo(QIODevice *device, qint64 from, qint64 to) const
{
    to = qMin(to, length);
    if (from < 0 || from % size != 0 || from >= to || !device->seek(from))
        return qMax(qint64(0), from);
    Sha256 digest;
    // Read many blocks at a time: a read per block of 4 KiB would cost a system call each.
    const qint64 chunkBlocks = qMax(qint64(1), qint64(1024 * 1024) / size);
    QByteArray chunk;
    qint64 at = from;
    while (at < to) {
        const qint64 wanted = qMin(chunkBlocks * size, to - at);
        chunk.resize(wanted);
        const qint64 got = device->read(chunk.data(), wanted);
        if (got <= 0)
            return at;
        for (qint64 within = 0; within < got;) {
            const int index = int((at + within) / size);
            const qint64 blockLength = lengthOf(index);
            if (within + blockLength > got
                || strongOf(&digest, QByteArrayView(chunk.constData() + within, blockLength))
                    != entries.at(index).strong)
                return at + within;
            within += blockLength;
        }
        at += got;
    }
    return at;
}

QByteArray BlockList::toLine(const QString &path) const
{
    QByteArray data(entries.size() * EntryBytes, Qt::Uninitialized);
    char *at = data.data();
    for (const Block &entry : entries) {
        qToBigEndian(entry.weak, at);
        qToBigEndian(entry.strong, at + 4);
        at += EntryBytes;
    }
    return "blocks " + QByteArray::number(size) + ' ' + QByteArray::number(length) + ' '
        + data.toBase64() + ' ' + path.toUtf8();
}

bool BlockList::fromLine(const QByteArray &line, BlockList *out, QString *path, QString *problem)
{
    const QByteArrayView text(line);
    qsizetype position = 0;
    QByteArrayView kind, blockSizeField, fileSizeField, data;
    if (!nextField(text, &position, &kind) || kind != "blocks") {
        *problem = QStringLiteral("it is not a block list");
        return false;
    }
    if (!nextField(text, &position, &blockSizeField) || !nextField(text, &position, &fileSizeField)
        || !nextField(text, &position, &data)) {
        *problem = QStringLiteral("it is missing fields");
        return false;
    }
    qint64 blockSize = 0, fileSize = 0;
    if (!SideFile::parseNumber(blockSizeField, MaxNumberDigits, &blockSize)
        || !isBlockSize(blockSize)) {
        *problem = QStringLiteral("its block size is not a power of two from %1 to %2")
                       .arg(MinBlockSize)
                       .arg(MaxBlockSize);
        return false;
    }
    if (!SideFile::parseNumber(fileSizeField, MaxNumberDigits, &fileSize)) {
        *problem = QStringLiteral("its file size is not a number");
        return false;
    }
    const qint64 count = (fileSize + blockSize - 1) / blockSize;
    if (data.size() % EntryChars != 0 || data.size() / EntryChars != count) {
        *problem
            = QStringLiteral("it holds %1 characters for %2 blocks").arg(data.size()).arg(count);
        return false;
    }
    if (!isBase64(data)) {
        *problem = QStringLiteral("its data is not base64");
        return false;
    }
    const QString named = QString::fromUtf8(text.sliced(position));
    const qsizetype slash = named.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == named.size() - 1) {
        *problem = QStringLiteral("it names no section and file");
        return false;
    }
    out->size = blockSize;
    out->length = fileSize;
    out->entries.resize(count);
    // In pieces: the data of a large file's list is megabytes, and the list itself is what
    // should take the memory.
    constexpr qint64 PieceEntries = 4096;
    for (qint64 first = 0; first < count; first += PieceEntries) {
        const qint64 entries = qMin(PieceEntries, count - first);
        const QByteArray raw = QByteArray::fromBase64(
            QByteArray::fromRawData(data.data() + first * EntryChars, entries * EntryChars));
        for (qint64 index = 0; index < entries; ++index) {
            const char *entry = raw.constData() + index * EntryBytes;
            out->entries[first + index]
                = {qFromBigEndian<quint32>(entry), qFromBigEndian<quint64>(entry + 4)};
        }
    }
    *path = named;
    return true;
}
