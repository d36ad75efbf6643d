#include "download/rangeinflater.h"

#include <zlib.h>

namespace {

constexpr int WindowBits = 15;
constexpr qsizetype WindowSize = qsizetype(1) << WindowBits;
constexpr qsizetype OutputPiece = 64 * 1024;

} // namespace

struct RangeInflater::Stream
{
    z_stream z = {};
    bool open = false;
    ~Stream()
    {
        if (open)
            inflateEnd(&z);
    }
};

RangeInflater::RangeInflater() = default;
RangeInflater::~RangeInflater() = default;

bool RangeInflater::start(char firstByte, int skipBits, QByteArrayView dictionary, qint64 length,
                          Sink receiver)
{
    stream = std::make_unique<Stream>();
    sink = std::move(receiver);
    left = length;
    problem.clear();
    // Raw deflate: the point lies inside the gzip member, past its header.
    if (inflateInit2(&stream->z, -WindowBits) != Z_OK) {
        problem = QStringLiteral("zlib cannot start inflating");
        return false;
    }
    stream->open = true;
    const QByteArrayView window
        = dictionary.size() > WindowSize ? dictionary.last(WindowSize) : dictionary;
    if (!window.isEmpty()
        && inflateSetDictionary(&stream->z, reinterpret_cast<const Bytef *>(window.data()),
                                uInt(window.size()))
            != Z_OK) {
        problem = QStringLiteral("zlib refuses the dictionary");
        return false;
    }
    if (skipBits > 0
        && inflatePrime(&stream->z, 8 - skipBits, int(uchar(firstByte) >> skipBits)) != Z_OK) {
        problem = QStringLiteral("zlib refuses the point's first bits");
        return false;
    }
    output.resize(OutputPiece);
    return true;
}

bool RangeInflater::feed(QByteArrayView stored)
{
    if (!stream || !problem.isEmpty())
        return false;
    z_stream &z = stream->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stored.data()));
    z.avail_in = uInt(stored.size());
    while (left > 0 && (z.avail_in > 0 || z.avail_out == 0)) {
        const qsizetype room = qsizetype(qMin(qint64(output.size()), left));
        z.next_out = reinterpret_cast<Bytef *>(output.data());
        z.avail_out = uInt(room);
        const int status = inflate(&z, Z_NO_FLUSH);
        const qsizetype produced = room - qsizetype(z.avail_out);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            problem = QStringLiteral("the stored bytes are not deflate data: %1")
                          .arg(QString::fromLatin1(z.msg ? z.msg : "unknown error"));
            return false;
        }
        left -= produced;
        if (produced > 0 && !sink(QByteArrayView(output.constData(), produced))) {
            problem = QStringLiteral("the inflated bytes were refused");
            return false;
        }
        if (status == Z_STREAM_END && left > 0) {
            problem = QStringLiteral("the deflate data ends %1 bytes early").arg(left);
            return false;
        }
        if (produced == 0 && status == Z_BUF_ERROR)
            break;
    }
    return true;
}
