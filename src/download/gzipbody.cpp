#include "download/gzipbody.h"

#include <zlib.h>

namespace {

// 15 bits of window, plus 16: a gzip header and trailer around the deflate data.
constexpr int GzipWindowBits = 15 + 16;

} // namespace

struct GzipBody::Stream
{
    z_stream z = {};
    bool open = false;
    ~Stream()
    {
        if (open)
            inflateEnd(&z);
    }
};

GzipBody::GzipBody() = default;
GzipBody::~GzipBody() = default;

void GzipBody::start(qint64 limit)
{
    stream = std::make_unique<Stream>();
    bound = limit;
    produced = 0;
    complete = false;
    problem.clear();
    if (inflateInit2(&stream->z, GzipWindowBits) != Z_OK) {
        problem = QStringLiteral("zlib cannot start inflating");
        return;
    }
    stream->open = true;
    output.resize(OutputPiece);
}

bool GzipBody::feed(QByteArrayView bytes, const Sink &sink)
{
    if (!stream || !stream->open || !problem.isEmpty())
        return false;
    if (complete) {
        if (bytes.isEmpty())
            return true;
        problem = QStringLiteral("bytes follow the end of the gzip data");
        return false;
    }
    z_stream &z = stream->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
    z.avail_in = uInt(bytes.size());
    for (;;) {
        z.next_out = reinterpret_cast<Bytef *>(output.data());
        z.avail_out = uInt(output.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            problem = QStringLiteral("it is no gzip data: %1")
                          .arg(QString::fromLatin1(z.msg ? z.msg : "unknown error"));
            return false;
        }
        const qsizetype piece = output.size() - qsizetype(z.avail_out);
        // Checked before a byte of the piece goes anywhere: what passes the bound is refused
        // unwritten.
        if (piece > bound - produced) {
            problem = QStringLiteral("it inflates to more than %1 bytes").arg(bound);
            return false;
        }
        produced += piece;
        if (piece > 0 && !sink(QByteArrayView(output.constData(), piece))) {
            problem = QStringLiteral("the inflated bytes could not be taken");
            return false;
        }
        if (status == Z_STREAM_END) {
            complete = true;
            if (z.avail_in > 0) {
                problem = QStringLiteral("bytes follow the end of the gzip data");
                return false;
            }
            return true;
        }
        // Everything given is consumed and zlib holds no more output for it.
        if (z.avail_in == 0 && z.avail_out > 0)
            return true;
        if (status == Z_BUF_ERROR && piece == 0)
            return true;
    }
}
