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
    static const QRegularExpression form(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(contentRange.trimmed()));
    if (!match.hasMatch())
        return RestartFromZero;
    const bool total
        = match.captured(3) == QLatin1String("*") || match.captured(3).toLongLong() == size;
    if (match.captured(1).toLongLong() != offset || match.captured(2).toLongLong() != size - 1
        || !total)
        return RestartFromZero;
    return AppendToFile;
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
