#include "download/rangerequest.h"

#include "download/mirrorconnection.h"

#include <QNetworkReply>

#include <QRegularExpression>
#include <QStringList>

QString RangeRequest::encodedPath(const QString &path)
{
    // File names may hold anything but "/": unencoded, "#" would start a fragment, "?" a query,
    // and "%20" would reach the server as a space.
    const QStringList segments = path.split(QLatin1Char('/'));
    QStringList encoded;
    encoded.reserve(segments.size());
    for (const QString &segment : segments)
        encoded.append(QString::fromLatin1(QUrl::toPercentEncoding(segment)));
    return encoded.join(QLatin1Char('/'));
}

QNetworkRequest RangeRequest::make(const QUrl &url, qint64 offset, const FTPSiteAccessData &mirror)
{
    QNetworkRequest request {url};
    MirrorConnection::prepare(request, mirror);
    // A redirect is a broken mirror whatever the manager's own policy says.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        // A range counts the bytes as sent: the part of a compressed body would not continue
        // the file.
        request.setRawHeader("Accept-Encoding", "identity");
    }
    return request;
}

RangeRequest::AnswerUse RangeRequest::judge(int status, const QByteArray &contentRange,
                                            qint64 offset, qint64 size)
{
    if (offset <= 0)
        return status == 200 || status == 0 ? TakeWhole : BrokenMirror;
    if (status == 200)
        return TakeWhole;
    if (status == 0 || status == 416)
        return RestartFromZero;
    if (status != 206)
        return BrokenMirror;
    // Exactly the rest: a part that starts elsewhere, stops short or belongs to a file of
    // another size does not continue this one.
    ContentRange part;
    if (!readContentRange(contentRange, size, &part) || part.first != offset
        || part.last != size - 1)
        return RestartFromZero;
    return AppendToFile;
}

bool RangeRequest::readContentRange(QByteArrayView value, qint64 fileSize, ContentRange *range)
{
    // A total of "*" is as legal as a number: the server need not know the file's size. As
    // HTTP writes it, with white space only around the value. A number past what a file size
    // can be is refused, not wrapped.
    static const QRegularExpression form(
        QStringLiteral("^\\s*bytes (\\d+)-(\\d+)/(\\d+|\\*)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(value));
    if (!match.hasMatch())
        return false;
    bool fits[3] = {true, true, true};
    ContentRange read;
    read.first = match.captured(1).toLongLong(&fits[0]);
    read.last = match.captured(2).toLongLong(&fits[1]);
    read.total
        = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong(&fits[2]);
    if (!fits[0] || !fits[1] || !fits[2])
        return false;
    if (read.last < read.first || read.last >= fileSize
        || (read.total >= 0 && read.total != fileSize))
        return false;
    *range = read;
    return true;
}

void RangeRequest::abandon(QNetworkReply *dropped)
{
    QMetaObject::invokeMethod(dropped, &QNetworkReply::abort, Qt::QueuedConnection);
    dropped->deleteLater();
}

void RangeRequest::drop(QPointer<QNetworkReply> &reply, QObject *listener)
{
    if (!reply)
        return;
    QNetworkReply *dropped = reply;
    reply = nullptr;
    QObject::disconnect(dropped, nullptr, listener, nullptr);
    abandon(dropped);
}
