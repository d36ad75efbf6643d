#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

/// How the test mirror answers a request with a Range header: the ranges it names, and the body
/// of a 206 for them, one part or "multipart/byteranges".
class ByteRangeAnswer
{
public:
    static const QByteArray Boundary;

    /// The (first, last) ranges of the Range header in the request head @p head for a body of
    /// @p size bytes, "N-" and "N-M" forms, last clipped to the end; empty when the head has no
    /// Range header or one this mirror does not read.
    static QList<QPair<qint64, qint64>> ranges(const QByteArray &head, qint64 size);

    /// The multipart body of @p ranges of @p body, each part @p shift bytes later than asked for
    /// (0 for a correct answer), its Content-Range saying so.
    static QByteArray multipart(const QByteArray &body, const QList<QPair<qint64, qint64>> &ranges,
                                qint64 shift = 0);
};
