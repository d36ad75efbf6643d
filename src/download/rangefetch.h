#pragma once

#include "download/byterangesreader.h"
#include "download/ftpsiteaccessdata.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <memory>

class Mirrors;
class QNetworkAccessManager;
class RangeSink;
class QNetworkReply;

/**
 * @class RangeFetch
 * @brief One request for some byte ranges of a file, from one mirror, its bytes handed to a
 * RangeSink as they arrive.
 *
 * Several ranges go in one request; the mirror may answer with a "multipart/byteranges" body or,
 * having joined them, with one part. Whatever arrives is only taken as far as it fits the file
 * (its Content-Range names the file's size) and each block is checked by the sink, so a
 * mirror can waste bytes but never put a wrong one into the file.
 *
 * The request ends with ended() exactly once, after start(), unless abort() comes first; the
 * receiver of ended() may delete the fetch only later (deleteLater()):
 * - Complete: every block of the ranges asked for is in the file;
 * - Incomplete: the answer ended, or broke, before delivering all of them; what arrived whole
 *   and right stays;
 * - MultipleRefused: several ranges were asked for and the answer was the whole file (200), a
 *   416 or a 501, a part that starts where no range asked for does, or a body that left ranges
 *   out: the mirror cannot be asked for more than one range at a time;
 * - RangesRefused: one range was asked for and the answer was the whole file, a 501 or another
 *   range: the mirror serves whole files only;
 * - BadAnswer: any other status, a part of a file of another size, or a malformed multipart
 *   body: the mirror is broken for this file;
 * - WrongBlock: a block arrived with the wrong content (wrongBlock());
 * - WriteFailed: the local file could not be written, or the sink's source read (explanation());
 * - Refused: the mirror refused the request before processing it (MirrorConnection::ending(),
 *   endIfUnsent()); it may be sent again, and Mirrors::requestRefused() says what it costs.
 * A request that ends without any answer (a network error) is Incomplete, never BadAnswer.
 * A whole-file answer is dropped as soon as its status is known, not read.
 */
class RangeFetch : public QObject
{
    Q_OBJECT

public:
    enum Outcome {
        Complete,
        Incomplete,
        MultipleRefused,
        RangesRefused,
        BadAnswer,
        WrongBlock,
        WriteFailed,
        Refused
    };
    Q_ENUM(Outcome)

    /// Asks @p mirror for @p ranges, each (offset, length), of @p remotePath (encoded as a
    /// download encodes it), a file of @p fileSize bytes, for @p sink (owned).
    RangeFetch(QNetworkAccessManager *manager, const FTPSiteAccessData &mirror,
               const QString &remotePath, const QList<QPair<qint64, qint64>> &ranges,
               qint64 fileSize, std::unique_ptr<RangeSink> sink, QObject *parent = nullptr);
    ~RangeFetch() override;

    void start();
    /// Drops the request without ended().
    void abort();
    /// Ends the request as Incomplete, with @p explanation: it has stalled.
    void giveUp(const QString &explanation) { end(Incomplete, explanation); }
    /// Ends the request as Refused when it has had no answer after @p idleTicks ticks without
    /// data and waits on a connection the server has ended (Mirrors::waitsOnEndedConnection()).
    /// Returns whether it ended.
    bool endIfUnsent(int idleTicks, const Mirrors *mirrors);
    /// For a Refused ending: whether the server ended the connection, not just the stream.
    bool connectionEnded() const { return endedConnection; }

    const FTPSiteAccessData &mirror() const { return from; }
    const QList<QPair<qint64, qint64>> &ranges() const { return asked; }
    /// The block a WrongBlock ending found wrong, as the sink counts blocks.
    int wrongBlock() const;
    /// Body bytes that arrived since the previous call.
    qint64 takeArrivedBytes();
    /// Why the answer was refused, for the log; empty for Complete and Incomplete.
    QString explanation() const { return why; }
    /**
     * Holds an ending of RangesRefused, BadAnswer or WrongBlock against the mirror in
     * @p mirrors: a mirror that does not send ranges is not asked for them again in the run, a
     * broken answer drops it, a wrong block charges it one error and it is asked for no more
     * ranges (a block cannot tell whether the mirror's file or the list is wrong; a whole file
     * it may still send is judged by its digests). Returns the log line about @p remotePath;
     * empty, with nothing done, for the other endings.
     */
    QString holdAgainstMirror(Mirrors *mirrors, const QString &remotePath, Outcome outcome) const;
    /// What a wrong block costs the mirror @p name that sent it, by range or not.
    static void chargeWrongBlock(Mirrors *mirrors, const QString &name);

signals:
    void ended(RangeFetch *fetch, RangeFetch::Outcome outcome);
    /// The mirror @p mirrorName answered, over HTTP/2 or not.
    void answered(const QString &mirrorName, bool http2, int connection);

private:
    void onMetaData();
    void onReadyRead();
    void onFinished();
    bool judgeAnswer();
    void endUnanswered();
    bool feed(const QByteArray &data);
    void end(Outcome outcome, const QString &explanation = QString());
    bool takeBytes(QByteArrayView bytes);

    QNetworkAccessManager *manager;
    FTPSiteAccessData from;
    QString remotePath;
    QList<QPair<qint64, qint64>> asked;
    qint64 fileSize;
    std::unique_ptr<RangeSink> sink;
    bool ended_ = false;
    QPointer<QNetworkReply> reply;
    bool judged = false;
    // The next file offset of a single-part answer.
    qint64 partOffset = 0;
    qint64 partEnd = 0;
    std::unique_ptr<ByteRangesReader> parts;
    qint64 arrived = 0;
    QString why;
    QByteArray buffer;
    bool requestLeft = false;
    bool endedConnection = false;
};
