#include "download/rangefetch.h"

#include "download/mirrorconnection.h"
#include "download/mirrors.h"
#include "download/rangerequest.h"
#include "download/rangesink.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// What a reply may hold before it stops reading from the network: memory stays bounded
// whatever the size of the ranges.
constexpr qint64 ReadBufferSize = 256 * 1024;

// The "Range" header value for ranges.
QByteArray rangeHeader(const QList<QPair<qint64, qint64>> &ranges)
{
    QByteArray header = "bytes=";
    for (qsizetype i = 0; i < ranges.size(); ++i) {
        if (i > 0)
            header += ',';
        header += QByteArray::number(ranges.at(i).first) + '-'
            + QByteArray::number(ranges.at(i).first + ranges.at(i).second - 1);
    }
    return header;
}

} // namespace

RangeFetch::RangeFetch(QNetworkAccessManager *manager, const FTPSiteAccessData &mirror,
                       const QString &remotePath, const QList<QPair<qint64, qint64>> &ranges,
                       qint64 fileSize, std::unique_ptr<RangeSink> sink, QObject *parent)
    : QObject(parent),
      manager(manager),
      from(mirror),
      remotePath(remotePath),
      asked(ranges),
      fileSize(fileSize),
      sink(std::move(sink))
{
}

int RangeFetch::wrongBlock() const
{
    return sink->wrongBlock();
}

bool RangeFetch::takeBytes(QByteArrayView bytes)
{
    const RangeSink::Result result = sink->take(bytes);
    if (result == RangeSink::Taken)
        return true;
    if (result == RangeSink::WrongBlock)
        end(WrongBlock);
    else
        end(WriteFailed, sink->problem());
    return false;
}

RangeFetch::~RangeFetch()
{
    abort();
}

void RangeFetch::start()
{
    QNetworkRequest request = RangeRequest::make(
        QUrl(from.url + QLatin1Char('/') + RangeRequest::encodedPath(remotePath)), 0, from);
    request.setRawHeader("Range", rangeHeader(asked));
    // Ranges count the bytes as stored.
    request.setRawHeader("Accept-Encoding", "identity");
    reply = manager->get(request);
    if (!reply) {
        end(BadAnswer, tr("no request could be made"));
        return;
    }
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply, &QNetworkReply::requestSent, this, [this] { requestLeft = true; });
    connect(reply, &QNetworkReply::metaDataChanged, this, &RangeFetch::onMetaData);
    connect(reply, &QNetworkReply::readyRead, this, &RangeFetch::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &RangeFetch::onFinished);
}

void RangeFetch::abort()
{
    RangeRequest::drop(reply, this);
}

qint64 RangeFetch::takeArrivedBytes()
{
    const qint64 bytes = arrived;
    arrived = 0;
    return bytes;
}

void RangeFetch::onMetaData()
{
    if (!judged && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        judgeAnswer();
}

bool RangeFetch::judgeAnswer()
{
    judged = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        // No answer came: the connection broke, which says nothing of what the mirror sends.
        endUnanswered();
        return false;
    }
    emit answered(from.name, reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool(),
                  from.connection);
    const bool several = asked.size() > 1;
    if (status == 200 || status == 501 || (status == 416 && several)) {
        // The whole file is never what is missing: the answer is dropped unread.
        end(several ? MultipleRefused : RangesRefused,
            tr("it answered %1 to a request for %2")
                .arg(status)
                .arg(several ? tr("several ranges") : tr("a range")));
        return false;
    }
    if (status != 206) {
        end(BadAnswer, tr("it answered %1").arg(status));
        return false;
    }
    const QByteArray boundary = ByteRangesReader::boundaryOf(
        reply->header(QNetworkRequest::ContentTypeHeader).toString().toLatin1());
    if (!boundary.isEmpty()) {
        parts = std::make_unique<ByteRangesReader>(
            boundary, fileSize, [this](qint64 offset, QByteArrayView bytes) {
                // Each part is an answer of its own: it does not continue the previous one.
                if (offset != partEnd && !sink->begin(offset)) {
                    end(MultipleRefused,
                        tr("it sent a part at %1, which was not asked for").arg(offset));
                    return false;
                }
                partEnd = offset + bytes.size();
                return takeBytes(bytes);
            });
        partEnd = -1;
        return true;
    }
    const QByteArray contentRange = reply->rawHeader("Content-Range");
    RangeRequest::ContentRange part;
    if (!RangeRequest::readContentRange(contentRange, fileSize, &part)) {
        end(BadAnswer,
            tr("its part \"%1\" is not one of a file of %2 bytes")
                .arg(QString::fromLatin1(contentRange.trimmed()))
                .arg(fileSize));
        return false;
    }
    partOffset = part.first;
    partEnd = part.last + 1;
    if (!sink->begin(partOffset)) {
        end(several ? MultipleRefused : RangesRefused,
            tr("it answered with the part \"%1\", which was not asked for")
                .arg(QString::fromLatin1(contentRange.trimmed())));
        return false;
    }
    return true;
}

void RangeFetch::onReadyRead()
{
    if (!judged && !judgeAnswer())
        return;
    if (buffer.size() < ReadBufferSize)
        buffer.resize(ReadBufferSize);
    while (reply && reply->bytesAvailable() > 0) {
        const qint64 read = reply->read(buffer.data(), buffer.size());
        if (read <= 0)
            break;
        arrived += read;
        if (!feed(QByteArray::fromRawData(buffer.constData(), read)))
            return;
        // A sink may need less than the part announced (a segment split meanwhile): the rest
        // is not waited for.
        if (!parts && partOffset < partEnd && sink->complete()) {
            end(Complete);
            return;
        }
    }
}

bool RangeFetch::feed(const QByteArray &data)
{
    if (parts) {
        if (parts->feed(data))
            return true;
        // The fetch has ended itself when the sink refused the bytes.
        if (reply)
            end(BadAnswer, tr("its multipart answer is malformed: %1").arg(parts->error()));
        return false;
    }
    // A single part may not run past what its Content-Range announced.
    const qint64 usable = qMin(qint64(data.size()), partEnd - partOffset);
    partOffset += usable;
    if (!takeBytes(QByteArrayView(data).first(usable)))
        return false;
    if (usable < data.size()) {
        end(BadAnswer, tr("it sent more than its part"));
        return false;
    }
    return true;
}

void RangeFetch::onFinished()
{
    if (!reply)
        return;
    if (!judged) {
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0) {
            endUnanswered();
            return;
        }
        if (!judgeAnswer())
            return;
    }
    onReadyRead();
    if (!reply)
        return;
    if (sink->complete()) {
        end(Complete);
        return;
    }
    // A multipart body that ended properly without every range has left some out, which a
    // mirror that handled several ranges correctly would not do.
    if (reply->error() == QNetworkReply::NoError && parts && parts->isComplete()
        && asked.size() > 1) {
        end(MultipleRefused, tr("its answer left ranges out"));
        return;
    }
    end(Incomplete,
        reply->error() != QNetworkReply::NoError ? reply->errorString()
                                                 : tr("the answer ended early"));
}

void RangeFetch::endUnanswered()
{
    const MirrorConnection::Ending ending = MirrorConnection::ending(reply);
    const QString text = reply->error() != QNetworkReply::NoError
        ? reply->errorString()
        : tr("the connection closed before an answer");
    endedConnection = ending == MirrorConnection::ConnectionEnded;
    end(ending == MirrorConnection::Answered ? Incomplete : Refused, text);
}

bool RangeFetch::endIfUnsent(int idleTicks, const Mirrors *mirrors)
{
    if (ended_ || judged || idleTicks < MirrorConnection::UnsentTicks
        || !mirrors->waitsOnEndedConnection(from, requestLeft))
        return false;
    endedConnection = true;
    end(Refused, tr("the request waited on a connection the mirror has ended"));
    return true;
}

void RangeFetch::end(Outcome outcome, const QString &explanation)
{
    if (ended_)
        return;
    ended_ = true;
    why = explanation;
    abort();
    emit ended(this, outcome);
}

void RangeFetch::chargeWrongBlock(Mirrors *mirrors, const QString &name)
{
    mirrors->lowerRangeSupport(name, FTPSiteAccessData::NoRanges);
    mirrors->addMirrorError(name);
}

QString RangeFetch::holdAgainstMirror(Mirrors *mirrors, const QString &remotePath,
                                      Outcome outcome) const
{
    const QString &name = from.name;
    switch (outcome) {
    case RangesRefused:
        mirrors->lowerRangeSupport(name, FTPSiteAccessData::NoRanges);
        return tr("%1: mirror %2 does not send ranges (%3)").arg(remotePath, name, why);
    case BadAnswer:
        mirrors->removeMirror(name);
        return tr("%1: mirror %2 gave a broken answer to a range request (%3), invalidating mirror")
            .arg(remotePath, name, why);
    case WrongBlock:
        chargeWrongBlock(mirrors, name);
        return tr("%1: block %2 from mirror %3 failed its check, not asking it for ranges again")
            .arg(remotePath)
            .arg(wrongBlock())
            .arg(name);
    default:
        return QString();
    }
}
