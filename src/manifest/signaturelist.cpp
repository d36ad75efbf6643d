#include "manifest/signaturelist.h"

#include <QRegularExpression>

const QByteArray SignatureList::Header = QByteArrayLiteral("varnolt-signatures 1");

bool SignatureList::parse(const QByteArray &data, SignatureList *list, QString *problem)
{
    static const QRegularExpression line(
        QStringLiteral("^([0-9a-f]{64}) ((?:[0-9a-f]{2}){16,1024})$"));
    list->entries.clear();
    const QList<QByteArray> lines = data.left(MaxFileBytes).split('\n');
    if (data.size() > MaxFileBytes) {
        *problem = QStringLiteral("it is larger than %1 bytes").arg(MaxFileBytes);
        return false;
    }
    if (lines.isEmpty() || lines.first() != Header) {
        *problem = QStringLiteral("it does not begin with \"%1\"").arg(QString::fromLatin1(Header));
        return false;
    }
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        const auto match = line.match(QString::fromLatin1(lines.at(i)));
        if (!match.hasMatch()) {
            *problem = QStringLiteral("line %1 is malformed").arg(i + 1);
            return false;
        }
        if (list->entries.size() == MaxEntries) {
            *problem = QStringLiteral("it holds more than %1 signatures").arg(MaxEntries);
            return false;
        }
        list->entries.append(
            {match.captured(1), QByteArray::fromHex(match.captured(2).toLatin1())});
    }
    return true;
}

QByteArray SignatureList::serialize() const
{
    QByteArray data = Header + '\n';
    for (const Entry &entry : entries)
        data += entry.fingerprint.toLatin1() + ' ' + entry.signature.toHex() + '\n';
    return data;
}
