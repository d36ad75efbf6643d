#include "fileops/fileunzipfunc.h"

#include "fileops/sessionfile.h"

#include <QFile>
#include <QScopeGuard>

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr qint64 BufferSize = 16384;

// Fills buffer[offset..size) as far as the file allows; returns the bytes now
// in the buffer, or -1 on a read error.
qint64 fill(QFile &file, unsigned char *buffer, qint64 offset, qint64 size)
{
    while (offset < size) {
        const qint64 got = file.read(reinterpret_cast<char *>(buffer) + offset, size - offset);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        offset += got;
    }
    return offset;
}

bool writeAll(int fd, const unsigned char *data, qint64 size)
{
    return StagedFile::writeAll(fd, reinterpret_cast<const char *>(data), size);
}

bool isGzipStart(const unsigned char *data, qint64 size)
{
    return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

// Decompresses every gzip member of source into destination. Success only
// when the input ends between members, each of which ended with a matching
// CRC-32 and length; data after the last member that does not start another
// member is ignored, as zlib's own gzip reader does.
//
// Not zlib's gzread(): it reports a clean end of file when the input runs out
// just as its output buffer fills, even if the rest of the stream, the
// trailer with the checksum included, is missing. inflate() itself sees
// every stream end.
bool inflateMembers(QFile &source, int destination, unsigned char *in, qint64 available)
{
    z_stream stream {};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return false;
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });

    unsigned char out[BufferSize];
    stream.next_in = in;
    stream.avail_in = uInt(available);
    for (;;) {
        if (stream.avail_in == 0) {
            const qint64 got = fill(source, in, 0, BufferSize);
            if (got < 0)
                return false;
            if (got == 0)
                return false; // the input ended inside a member
            stream.next_in = in;
            stream.avail_in = uInt(got);
        }

        stream.next_out = out;
        stream.avail_out = uInt(BufferSize);
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            return false; // corrupt data, wrong checksum or length, out of memory
        if (result == Z_BUF_ERROR && stream.avail_in > 0)
            return false; // no progress with input and room for output: never loop on it
        if (!writeAll(destination, out, BufferSize - stream.avail_out))
            return false;
        if (result != Z_STREAM_END)
            continue;

        // One member is complete. Another may follow; it needs two bytes to
        // be recognised.
        qint64 left = stream.avail_in;
        std::memmove(in, stream.next_in, size_t(left));
        if (left < 2) {
            left = fill(source, in, left, BufferSize);
            if (left < 0)
                return false;
        }
        if (!isGzipStart(in, left))
            return true;
        if (inflateReset(&stream) != Z_OK)
            return false;
        stream.next_in = in;
        stream.avail_in = uInt(left);
    }
}

bool unpack(const QString &sourcePath, int destination)
{
    QFile source;
    if (!SessionFile::openForReading(source, sourcePath))
        return false;
    unsigned char in[BufferSize];
    qint64 got = fill(source, in, 0, BufferSize);
    if (got < 0)
        return false;
    if (isGzipStart(in, got))
        return inflateMembers(source, destination, in, got);

    // Not gzip data: taken as it is, as zlib's gzip reader does.
    while (got > 0) {
        if (!writeAll(destination, in, got))
            return false;
        got = fill(source, in, 0, BufferSize);
    }
    return got == 0;
}

} // namespace

FileUnzipFunc::FileUnzipFunc(const QString &sourcePath, const QString &destinationPath)
    : SlowFileOpFunc(sourcePath, destinationPath)
{
}

bool FileUnzipFunc::run()
{
    errno = 0;
    if (unzipFile(destinationPath, sourcePath, placement, mode))
        return true;
    explainLocalFailure(errno);
    return false;
}

bool FileUnzipFunc::unzipFile(const QString &destinationPath, const QString &sourcePath,
                              StagedFile::Placement placement, mode_t mode)
{
    // Unpacked out of sight and put in place only when complete and synced:
    // a failure or a kill never leaves a partial file under the real name.
    StagedFile destination(destinationPath);
    return destination.isOpen() && unpack(sourcePath, destination.handle())
        && destination.commit(mode, placement);
}
