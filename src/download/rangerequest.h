#pragma once

#include "download/ftpsiteaccessdata.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QNetworkRequest>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QObject;

/**
 * @class RangeRequest
 * @brief How a download asks a mirror for a whole file or for the rest of one, and what the
 * mirror's answer means for the bytes already kept.
 *
 * Stateless. Redirects are never followed, and a request for the rest asks for the bytes as
 * stored (no transfer encoding), so that the part continues the file.
 */
class RangeRequest
{
public:
    /// What to do with the answer to a request (see judge()).
    enum AnswerUse {
        TakeWhole, ///< a 200: the body is the whole file; a file resumed so far is emptied
        AppendToFile, ///< a 206 with the range asked for: the body continues the file
        RestartFromZero, ///< not the part asked for: empty the file and ask for all of it
        BrokenMirror ///< not an answer a mirror may give: drop the mirror
    };

    /// The GET request for @p url, asking for the bytes from @p offset on when it is above 0,
    /// over @p mirror's current connection (MirrorConnection::prepare()).
    static QNetworkRequest make(const QUrl &url, qint64 offset, const FTPSiteAccessData &mirror);

    /**
     * Judges an answer with HTTP status @p status (0 when absent) and Content-Range header
     * @p contentRange to a request for the bytes from @p offset on (0: the whole file) of a
     * file of @p size bytes.
     */
    static AnswerUse judge(int status, const QByteArray &contentRange, qint64 offset, qint64 size);

    /**
     * Ends @p dropped, which the caller no longer listens to: aborted (queued, as this may run
     * inside one of its own signals) rather than merely deleted, so that the manager announces
     * the end and wakes the transfers waiting for a mirror slot; then deleted later.
     */
    static void abandon(QNetworkReply *dropped);
    /// Disconnects @p reply from @p listener, abandons it and clears the pointer; nothing when it
    /// is null already.
    static void drop(QPointer<QNetworkReply> &reply, QObject *listener);

    /// The part a Content-Range header names: bytes first to last of a file of total bytes.
    struct ContentRange
    {
        qint64 first = 0;
        qint64 last = 0;
        /// -1 for an unknown total ("*").
        qint64 total = -1;
    };

    /**
     * Reads a Content-Range value @p value ("bytes FIRST-LAST/TOTAL", or with "*" for an unknown
     * total; the unit in any case, white space around the value and its parts) into @p range.
     * False for anything else, a range whose last byte comes before its first, and a range
     * that cannot be part of a file of @p fileSize bytes: past its end, or with another total.
     */
    static bool readContentRange(QByteArrayView value, qint64 fileSize, ContentRange *range);

    /// @p path with each "/"-separated segment percent-encoded, so that every character a file
    /// name may hold reaches the server as part of the path.
    static QString encodedPath(const QString &path);
};
