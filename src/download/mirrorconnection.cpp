#include "download/mirrorconnection.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// A host name's letters in a case pattern of its own for each number. Names match their
// certificate whatever their case, so every pattern verifies; a name with few letters repeats
// after 2^letters numbers, long after the connection of that pattern has gone.
QString caseSpelling(const QString &host, int number)
{
    QString spelled = host;
    int bit = 0;
    int letters = 0;
    for (const QChar c : host)
        letters += c.isLetter() ? 1 : 0;
    if (letters == 0)
        return QString();
    // Pattern 0 is the name as written, which the first connection already uses.
    const int pattern = number % (letters >= 30 ? (1 << 30) : (1 << letters));
    for (QChar &c : spelled) {
        if (!c.isLetter())
            continue;
        c = (pattern >> bit) & 1 ? c.toUpper() : c.toLower();
        ++bit;
    }
    return spelled;
}

// An IPv4 address with its first part written in hexadecimal behind @p number - 1 zeros, which
// address parsers read as the same address.
QString ipv4Spelling(const QHostAddress &address, int number)
{
    const quint32 value = address.toIPv4Address();
    return QStringLiteral("0x%1%2.%3.%4.%5")
        .arg(QString(number - 1, QLatin1Char('0')))
        .arg(value >> 24, 0, 16)
        .arg((value >> 16) & 0xff)
        .arg((value >> 8) & 0xff)
        .arg(value & 0xff);
}

} // namespace

void MirrorConnection::prepare(QNetworkRequest &request, const FTPSiteAccessData &mirror)
{
    if (mirror.http2Direct)
        request.setAttribute(QNetworkRequest::Http2DirectAttribute, true);
    const QString name = peerName(request.url(), mirror.connection);
    if (!name.isEmpty())
        request.setPeerVerifyName(name);
}

QString MirrorConnection::peerName(const QUrl &url, int number)
{
    if (number <= 0)
        return QString();
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("connection-%1").arg(number);
    const QString host = url.host();
    const QHostAddress address(host);
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return ipv4Spelling(address, number);
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        // Groups written with leading zeros up to their four digits, one group more for each
        // number up to eight, then over again.
        const int padded = (number - 1) % 8 + 1;
        QStringList groups;
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        for (int i = 0; i < 8; ++i) {
            const int value = (bytes[2 * i] << 8) | bytes[2 * i + 1];
            groups.append(QString::number(value, 16));
        }
        for (int i = 0; i < padded; ++i)
            groups[i] = groups[i].rightJustified(4, QLatin1Char('0'));
        return groups.join(QLatin1Char(':'));
    }
    return caseSpelling(host, number);
}

MirrorConnection::Ending MirrorConnection::ending(const QNetworkReply *reply)
{
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 0)
        return Answered;
    // The network stack's own words for a stream the server never started: it says which by
    // text only, as it files both under protocol errors.
    const QString text = reply->errorString();
    // A connection closed before any answer is how a server ends one it keeps no longer (idle,
    // or past its count of requests) when the request crossed its end on the way.
    if (reply->error() == QNetworkReply::ContentReSendError
        || reply->error() == QNetworkReply::RemoteHostClosedError
        || text.contains(QLatin1String("GOAWAY received")))
        return ConnectionEnded;
    if (text.contains(QLatin1String("Server refused a stream")))
        return StreamRefused;
    return Answered;
}
