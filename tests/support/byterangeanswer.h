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
    /// (0 for a correct answer), its Content-Range saying so in @p form (see contentRange()).
    static QByteArray multipart(const QByteArray &body, const QList<QPair<qint64, qint64>> &ranges,
                                qint64 shift = 0, const QByteArray &form = QByteArray());

    /// The Content-Range value of bytes @p first to @p last of a body of @p size bytes written
    /// in @p form, where "{first}", "{last}", "{size}" and "{other}" (another size) stand for
    /// the numbers; "bytes {first}-{last}/{size}" when @p form is empty.
    static QByteArray contentRange(const QByteArray &form, qint64 first, qint64 last, qint64 size);

    /// A way of writing a Content-Range, and whether a client must take it for the part.
    struct Form
    {
        const char *name;
        QByteArray form;
        bool legal;
    };
    /// Every legal form of a part's Content-Range, and wrong ones next to them.
    static QList<Form> contentRangeForms();
};
