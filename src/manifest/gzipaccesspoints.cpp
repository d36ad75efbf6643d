#include "manifest/gzipaccesspoints.h"

#include "manifest/sidefile.h"

#include <QList>

#include <limits>

namespace {

// Enough for any count or block number a list may have.
constexpr int MaxNumberDigits = 9;

} // namespace

QByteArray GzipAccessPoints::toLine(const QString &path) const
{
    QByteArray data;
    data.reserve(offsets.size() * 3);
    qint64 previous = 0;
    for (const qint64 offset : offsets) {
        quint64 value = quint64(offset - previous);
        previous = offset;
        do {
            const char low = char(value & 0x7f);
            value >>= 7;
            data += value != 0 ? char(low | 0x80) : low;
        } while (value != 0);
    }
    return "points " + QByteArray::number(every) + ' ' + QByteArray::number(offsets.size()) + ' '
        + data.toBase64() + ' ' + path.toUtf8();
}

bool GzipAccessPoints::fromLine(const QByteArray &line, GzipAccessPoints *out, QString *path,
                                QString *problem)
{
    // "points EVERY COUNT DATA PATH": the path may hold blanks, the other fields not.
    QList<QByteArray> fields;
    qsizetype position = 0;
    for (int field = 0; field < 4; ++field) {
        const qsizetype blank = line.indexOf(' ', position);
        if (blank < 0) {
            *problem = QStringLiteral("it is missing fields");
            return false;
        }
        fields.append(line.mid(position, blank - position));
        position = blank + 1;
    }
    if (fields.at(0) != "points") {
        *problem = QStringLiteral("it is not a list of access points");
        return false;
    }
    qint64 every = 0, count = 0;
    if (!SideFile::parseNumber(fields.at(1), MaxNumberDigits, &every) || every < 1
        || !SideFile::parseNumber(fields.at(2), MaxNumberDigits, &count)) {
        *problem = QStringLiteral("its numbers are malformed");
        return false;
    }
    const auto decoded
        = QByteArray::fromBase64Encoding(fields.at(3), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        *problem = QStringLiteral("its data is not base64");
        return false;
    }
    QVector<qint64> offsets;
    // Each offset takes a byte at least: the count alone, which the line only claims, must not
    // decide what is allocated.
    offsets.reserve(qMin(count, qint64((*decoded).size())));
    quint64 value = 0;
    int shift = 0;
    qint64 previous = 0;
    for (const char byte : *decoded) {
        if (shift > 56) {
            *problem = QStringLiteral("its data holds a number too large");
            return false;
        }
        value |= quint64(uchar(byte) & 0x7f) << shift;
        shift += 7;
        if (uchar(byte) & 0x80)
            continue;
        // Offsets increase, the first one after the gzip header at the least.
        if ((value == 0 && !offsets.isEmpty()) || offsets.size() == count
            || value > quint64(std::numeric_limits<qint64>::max() - previous)) {
            *problem = QStringLiteral("its offsets are not %1 increasing numbers").arg(count);
            return false;
        }
        previous += qint64(value);
        offsets.append(previous);
        value = 0;
        shift = 0;
    }
    if (shift != 0 || offsets.size() != count) {
        *problem = QStringLiteral("its offsets are not %1 increasing numbers").arg(count);
        return false;
    }
    const QString named = QString::fromUtf8(line.mid(position));
    const qsizetype slash = named.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == named.size() - 1) {
        *problem = QStringLiteral("it names no section and file");
        return false;
    }
    *out = GzipAccessPoints(int(every), offsets);
    *path = named;
    return true;
}
