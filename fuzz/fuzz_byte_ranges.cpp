// The body of a multipart/byteranges answer, as a mirror sends it to a request for several
// ranges of a file: read as it arrives, its parts' bytes go straight into the file.
//
// Every byte the reader passes on must lie inside the file, never more bytes than the body held,
// and reading the body in pieces of any size must give what reading it whole gives.

#include "download/byterangesreader.h"
#include "fuzzsupport.h"

#include <QList>
#include <QPair>

namespace {

using Pieces = QList<QPair<qint64, QByteArray>>;

Pieces readAll(const QByteArray &body, qint64 fileSize, qsizetype step, QString *error,
               bool *complete)
{
    Pieces pieces;
    ByteRangesReader reader("XB", fileSize, [&](qint64 offset, QByteArrayView bytes) {
        if (offset < 0 || offset + bytes.size() > fileSize)
            Fuzz::fail("part bytes lie inside the file", QString::number(offset));
        // Pieces of one part arrive in order; joined, they compare whatever the feeding.
        if (!pieces.isEmpty() && pieces.last().first + pieces.last().second.size() == offset)
            pieces.last().second.append(bytes.toByteArray());
        else
            pieces.append({offset, bytes.toByteArray()});
        return true;
    });
    for (qsizetype i = 0; i < body.size() && reader.error().isEmpty(); i += step)
        reader.feed(QByteArrayView(body).sliced(i, qMin(step, body.size() - i)));
    if (reader.partBytes() > body.size())
        Fuzz::fail("no more part bytes than the body held");
    *error = reader.error();
    *complete = reader.isComplete();
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first two bytes choose the file's size, so that ranges inside and outside it occur.
    if (size < 2)
        return 0;
    const qint64 fileSize = 1 + (qint64(data[0]) << 8 | data[1]);
    const QByteArray body = Fuzz::bytes(data + 2, size - 2);
    QString wholeError;
    QString pieceError;
    bool wholeComplete = false;
    bool pieceComplete = false;
    const Pieces whole = readAll(body, fileSize, qMax<qsizetype>(1, body.size()), &wholeError,
                                 &wholeComplete);
    const Pieces pieces = readAll(body, fileSize, 3, &pieceError, &pieceComplete);
    if (wholeError.isEmpty() != pieceError.isEmpty() || wholeComplete != pieceComplete)
        Fuzz::fail("reading in pieces ends as reading whole", wholeError + QLatin1String(" / ")
                                                                 + pieceError);
    if (wholeError.isEmpty() && whole != pieces)
        Fuzz::fail("reading in pieces gives the bytes reading whole gives");
    return 0;
}
