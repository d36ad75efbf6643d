#include "byterangeanswer.h"

const QByteArray ByteRangeAnswer::Boundary = QByteArrayLiteral("VARNOLT_TEST_PARTS");

QList<QPair<qint64, qint64>> ByteRangeAnswer::ranges(const QByteArray &head, qint64 size)
{
    const QList<QByteArray> lines = head.split('\n');
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed().toLower() != "range")
            continue;
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (!value.startsWith("bytes="))
            return {};
        QList<QPair<qint64, qint64>> result;
        for (const QByteArray &spec : value.mid(6).split(',')) {
            const QList<QByteArray> bounds = spec.trimmed().split('-');
            bool ok = false;
            const qint64 first = bounds.value(0).toLongLong(&ok);
            if (!ok || bounds.size() != 2)
                return {};
            const qint64 last
                = bounds.at(1).isEmpty() ? size - 1 : qMin(size - 1, bounds.at(1).toLongLong(&ok));
            if (!ok)
                return {};
            result.append({first, last});
        }
        return result;
    }
    return {};
}

QByteArray ByteRangeAnswer::multipart(const QByteArray &body,
                                      const QList<QPair<qint64, qint64>> &ranges, qint64 shift)
{
    QByteArray parts;
    for (const auto &asked : ranges) {
        const qint64 first = qMin(asked.first + shift, qint64(body.size()) - 1);
        const qint64 last = qMin(asked.second + shift, qint64(body.size()) - 1);
        parts += "\r\n--" + Boundary + "\r\nContent-Type: application/octet-stream\r\n"
            + "Content-Range: bytes " + QByteArray::number(first) + '-' + QByteArray::number(last)
            + '/' + QByteArray::number(body.size()) + "\r\n\r\n";
        parts += body.mid(first, last - first + 1);
    }
    return parts + "\r\n--" + Boundary + "--\r\n";
}
