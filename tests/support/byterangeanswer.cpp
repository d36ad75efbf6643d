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

QByteArray ByteRangeAnswer::contentRange(const QByteArray &form, qint64 first, qint64 last,
                                         qint64 size)
{
    QByteArray value = form.isEmpty() ? QByteArray("bytes {first}-{last}/{size}") : form;
    return value.replace("{first}", QByteArray::number(first))
        .replace("{last}", QByteArray::number(last))
        .replace("{size}", QByteArray::number(size))
        .replace("{other}", QByteArray::number(size + 1));
}

QList<ByteRangeAnswer::Form> ByteRangeAnswer::contentRangeForms()
{
    return {
        {"total", "bytes {first}-{last}/{size}", true},
        {"unknown total", "bytes {first}-{last}/*", true},
        {"unit in capitals", "BYTES {first}-{last}/{size}", true},
        {"unit mixed, unknown total", "Bytes {first}-{last}/*", true},
        {"white space around", " \tbytes {first}-{last}/* \t", true},
        {"white space inside", "bytes\t {first} - {last} / {size}", false},
        {"another total", "bytes {first}-{last}/{other}", false},
        {"past the end, unknown total", "bytes {first}-{size}/*", false},
        {"backwards", "bytes {last}-{first}/{size}", false},
        {"no total", "bytes {first}-{last}", false},
        {"another unit", "octets {first}-{last}/{size}", false},
        {"no unit", "{first}-{last}/{size}", false},
        {"unsatisfied", "bytes */{size}", false},
        {"beyond 64 bits", "bytes {first}-99999999999999999999/*", false},
    };
}

QByteArray ByteRangeAnswer::multipart(const QByteArray &body,
                                      const QList<QPair<qint64, qint64>> &ranges, qint64 shift,
                                      const QByteArray &form)
{
    QByteArray parts;
    for (const auto &asked : ranges) {
        const qint64 first = qMin(asked.first + shift, qint64(body.size()) - 1);
        const qint64 last = qMin(asked.second + shift, qint64(body.size()) - 1);
        parts += "\r\n--" + Boundary + "\r\nContent-Type: application/octet-stream\r\n"
            + "Content-Range: " + contentRange(form, first, last, body.size()) + "\r\n\r\n";
        parts += body.mid(first, last - first + 1);
    }
    return parts + "\r\n--" + Boundary + "--\r\n";
}
