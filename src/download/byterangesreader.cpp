#include "download/byterangesreader.h"

#include "download/rangerequest.h"

#include <QRegularExpression>

namespace {

// No real part header comes near this; a mirror that sends more is not sending headers.
constexpr qsizetype MaxLineBytes = 4096;

} // namespace

QByteArray ByteRangesReader::boundaryOf(const QByteArray &contentType)
{
    static const QRegularExpression form(
        QStringLiteral(
            "^\\s*multipart/byteranges\\s*;.*\\bboundary=(?:\"([^\"]{1,70})\"|([^\\s;\"]{1,70}))"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(QString::fromLatin1(contentType));
    if (!match.hasMatch())
        return QByteArray();
    return (match.capturedLength(1) > 0 ? match.captured(1) : match.captured(2)).toLatin1();
}

ByteRangesReader::ByteRangesReader(const QByteArray &boundary, qint64 fileSize, Sink sink)
    : delimiter("--" + boundary), fileSize(fileSize), sink(std::move(sink))
{
    if (boundary.isEmpty())
        fail(QStringLiteral("the answer names no boundary"));
}

bool ByteRangesReader::fail(const QString &why)
{
    if (state != Failed)
        problem = why;
    state = Failed;
    pending.clear();
    return false;
}

bool ByteRangesReader::feed(QByteArrayView data)
{
    qsizetype used = 0;
    while (used < data.size()) {
        if (state == Failed)
            return false;
        if (state == Done) {
            // What follows the closing boundary (an epilogue) carries nothing.
            return true;
        }
        if (state == Body) {
            const qsizetype take = qsizetype(qMin<qint64>(partLeft, data.size() - used));
            if (!sink(offset, data.sliced(used, take)))
                return fail(QStringLiteral("the bytes at %1 were refused").arg(offset));
            offset += take;
            partLeft -= take;
            delivered += take;
            used += take;
            if (partLeft == 0)
                state = AfterBody;
            continue;
        }
        // Lines: the preamble, a part's headers, or the boundary after a part's bytes.
        const qsizetype end = data.indexOf('\n', used);
        const qsizetype stop = end < 0 ? data.size() : end;
        pending.append(data.sliced(used, stop - used).toByteArray());
        used = stop;
        if (pending.size() > MaxLineBytes)
            return fail(QStringLiteral("a line of more than %1 bytes").arg(MaxLineBytes));
        if (end < 0)
            break;
        ++used;
        QByteArray line = pending;
        pending.clear();
        if (line.endsWith('\r'))
            line.chop(1);
        if (!takeLine(line))
            return false;
    }
    return state != Failed;
}

bool ByteRangesReader::takeLine(const QByteArray &line)
{
    switch (state) {
    case Preamble:
        // Transport padding may follow a boundary.
        if (line.trimmed() == delimiter)
            state = Headers;
        else if (line.trimmed() == delimiter + "--")
            return fail(QStringLiteral("the answer holds no part"));
        return true;
    case AfterBody:
        // The part's bytes end with the line end that comes before the next boundary.
        if (line.isEmpty())
            return true;
        if (line.trimmed() == delimiter) {
            state = Headers;
            return true;
        }
        if (line.trimmed() == delimiter + "--") {
            state = Done;
            return true;
        }
        return fail(QStringLiteral("a part is longer than its range"));
    case Headers: {
        if (!line.isEmpty()) {
            // Header names are case-insensitive, and white space may surround the value.
            const qsizetype colon = line.indexOf(':');
            if (colon > 0
                && line.first(colon).trimmed().compare("content-range", Qt::CaseInsensitive) == 0) {
                RangeRequest::ContentRange range;
                if (!RangeRequest::readContentRange(QByteArrayView(line).sliced(colon + 1),
                                                    fileSize, &range))
                    return fail(
                        QStringLiteral("a part names the range \"%1\" of a file of %2 bytes")
                            .arg(QString::fromLatin1(line.mid(colon + 1).trimmed()))
                            .arg(fileSize));
                partStart = range.first;
                partLeft = range.last - range.first + 1;
            }
            return true;
        }
        if (partStart < 0)
            return fail(QStringLiteral("a part does not name its range"));
        offset = partStart;
        partStart = -1;
        state = Body;
        return true;
    }
    case Body:
    case Done:
    case Failed:
        break;
    }
    return true;
}
