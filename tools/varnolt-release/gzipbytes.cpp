#include "gzipbytes.h"

#include <zlib.h>

namespace {

constexpr qint64 Piece = 64 * 1024;

} // namespace

QByteArray GzipBytes::compress(const QByteArray &plain)
{
    z_stream z = {};
    // 31: a gzip member; without deflateSetHeader() zlib writes no name and time 0.
    if (deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray packed(qsizetype(deflateBound(&z, uLong(plain.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    z.avail_in = uInt(plain.size());
    z.next_out = reinterpret_cast<Bytef *>(packed.data());
    z.avail_out = uInt(packed.size());
    const int status = deflate(&z, Z_FINISH);
    packed.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return status == Z_STREAM_END ? packed : QByteArray();
}

bool GzipBytes::inflate(const QByteArray &packed, qint64 maxBytes, QByteArray *plain,
                        QString *problem)
{
    plain->clear();
    z_stream z = {};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        *problem = QStringLiteral("zlib cannot inflate");
        return false;
    }
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.constData()));
    z.avail_in = uInt(packed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        // One byte beyond the bound tells a copy that is too large from one that just fits.
        const qint64 room = qMin(Piece, maxBytes + 1 - plain->size());
        if (room <= 0)
            break;
        const qsizetype at = plain->size();
        plain->resize(at + room);
        z.next_out = reinterpret_cast<Bytef *>(plain->data() + at);
        z.avail_out = uInt(room);
        status = ::inflate(&z, Z_NO_FLUSH);
        plain->resize(at + room - qsizetype(z.avail_out));
        if (status == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    const bool leftOver = z.avail_in > 0;
    inflateEnd(&z);
    QString reason;
    if (plain->size() > maxBytes)
        reason = QStringLiteral("it inflates to more than %1 bytes").arg(maxBytes);
    else if (status == Z_STREAM_END && leftOver)
        reason = QStringLiteral("bytes follow its gzip member");
    else if (status == Z_OK || status == Z_BUF_ERROR)
        reason = QStringLiteral("it is cut short");
    else if (status != Z_STREAM_END)
        reason = QStringLiteral("it is not gzip data");
    if (reason.isEmpty())
        return true;
    plain->clear();
    *problem = reason;
    return false;
}
