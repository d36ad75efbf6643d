#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;
class QTimer;

/**
 * A download mirror for tests: a small HTTP/1.1 server on 127.0.0.1 that serves files and can
 * be told to misbehave on chosen paths.
 *
 * It listens on a free port from construction on. A request for "/a/b" looks up the path key
 * "a/b" (percent-decoded, query dropped): first among the in-memory bodies given with
 * setContent(), then as a file below rootPath(). Paths leaving the root and unknown paths get
 * 404; HEAD gets GET's status and headers without the body; other methods get 405. Every response
 * carries "Connection: close" and, unless a fault says otherwise, the connection is closed once the
 * response has been written.
 *
 * A GET with "Range: bytes=N-" (or "bytes=N-M") for a served body gets 206 with that part and its
 * Content-Range, and 416 when N lies at or past the end; one naming several ranges gets a
 * "multipart/byteranges" 206 with one part per range (ByteRangeAnswer).
 *
 * A Fault set for a path shapes the next responses for it: any status with its headers (a 302
 * with Location, a 401 with a WWW-Authenticate challenge), how a Range is answered, and one way
 * of delivering the body: stall after some bytes with the connection left open, close early,
 * leave out Content-Length, trickle a few bytes per interval, or send more than Content-Length
 * announced. The delivery faults count the bytes of the body actually sent, ranged or not.
 *
 * Path keys given to the methods may be written with or without a leading "/". Main thread
 * only; the server needs the event loop to answer.
 */
class TestHttpMirror : public QObject
{
    Q_OBJECT

public:
    /// How to answer a path. Build one with the factories; fields may be combined by hand.
    /// How a request with a Range header is answered.
    enum class RangeAnswer {
        Honour, ///< 206 with the part asked for
        Ignore, ///< 200 with the whole body, as a server without range support does
        WrongStart, ///< 206 with the whole body and a Content-Range that starts at 0
        Unsatisfiable, ///< 416, as for a range past the end
        // Several ranges in one request answered wrongly; a single range is honoured.
        SeveralAsWhole, ///< 200 with the whole body
        SeveralUnsatisfiable, ///< 416
        SeveralNotImplemented, ///< 501
        SeveralShifted ///< multipart, each part one byte later than asked for
    };

    struct Fault
    {
        int statusCode = 200;
        RangeAnswer range = RangeAnswer::Honour;
        /// Sent as the Location header when not empty.
        QByteArray location;
        /// Sent as the WWW-Authenticate header when not empty.
        QByteArray challenge;
        /// Body bytes to send before going silent with the connection open; -1 for off.
        qint64 stallAt = -1;
        /// Body bytes to send before closing although more were announced; -1 for off.
        qint64 truncateAt = -1;
        /// No Content-Length header: the body ends when the connection closes.
        bool omitContentLength = false;
        /// Body bytes per interval when trickling; 0 for off.
        qint64 trickleBytes = 0;
        int trickleIntervalMs = 0;
        /// Bytes sent after the announced body.
        qint64 excessBytes = 0;
        /// Offset in the served file whose byte is sent changed, whatever part is asked for;
        /// -1 for off.
        qint64 corruptAt = -1;
        /// How the Content-Range of a 206's part is written (ByteRangeAnswer::contentRange());
        /// empty for "bytes FIRST-LAST/SIZE".
        QByteArray contentRangeForm;
        /// The connection is closed before any answer.
        bool closeUnanswered = false;
        /// Requests the fault still applies to; -1 for all of them.
        int remaining = -1;

        static Fault status(int code);
        static Fault redirect(const QByteArray &location, int code = 302);
        static Fault authenticationRequired(const QByteArray &realm = "varnolt");
        static Fault stall(qint64 afterBytes);
        static Fault truncate(qint64 afterBytes);
        static Fault closeBeforeAnswer();
        static Fault noContentLength();
        static Fault trickle(qint64 bytesPerInterval, int intervalMs);
        static Fault overlong(qint64 excessBytes);
        static Fault rangeAnswer(RangeAnswer answer);
        static Fault corrupt(qint64 offset);
        static Fault contentRangeIn(const QByteArray &form);
        /// The same fault for the next @p requests requests only; later ones are served normally.
        Fault times(int requests) const;
    };

    explicit TestHttpMirror(QObject *parent = nullptr);
    ~TestHttpMirror() override;

    bool isListening() const;
    quint16 port() const;
    /// "http://127.0.0.1:<port>", without a trailing "/".
    QString baseUrl() const;
    /// baseUrl() + "/" + @p path.
    QUrl url(const QString &path) const;

    /// Directory whose files are served; empty (the default) serves in-memory bodies only.
    void setRootPath(const QString &dir);
    QString rootPath() const { return root; }

    /// Serves @p body for @p path, taking precedence over a file of that path.
    void setContent(const QString &path, const QByteArray &body);
    void removeContent(const QString &path);

    /// Answers @p path according to @p fault until cleared or its request count is used up.
    void setFault(const QString &path, const Fault &fault);
    void clearFault(const QString &path);
    void clearFaults();

    /// Sends the rest of the body on every connection stalled on @p path and closes them.
    void resumeStalled(const QString &path);

    /// Requests received for @p path, whatever their answer.
    int requestCount(const QString &path) const;
    int totalRequestCount() const { return requestLog_.size(); }
    /// Path keys of all requests received, in arrival order.
    QStringList requestLog() const { return requestLog_; }
    /// The value of header @p name (case-insensitive) of every request received, in arrival
    /// order; empty for a request without it.
    QByteArrayList requestHeaders(const QByteArray &name) const;
    /// Body bytes written for @p path over all requests (excess bytes included).
    qint64 bodyBytesSent(const QString &path) const;
    /// Body bytes written over all paths and requests: what this mirror transferred.
    qint64 totalBodyBytesSent() const;
    /// Client connections currently open, stalled ones included.
    int openConnectionCount() const { return connections.size(); }

signals:
    /// Emitted for every complete request head, before it is answered.
    void requestReceived(const QString &path);

private:
    struct Connection
    {
        QByteArray head;
        bool answered = false;
        bool stalled = false;
        QString path;
        QByteArray pending;
        QTimer *trickleTimer = nullptr;
        qint64 trickleBytes = 0;
    };

    static QString key(const QString &path);
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void onDisconnected(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &method, const QString &path,
                const QByteArray &head);
    bool lookUp(const QString &path, QByteArray &body) const;
    Fault takeFault(const QString &path);
    void writeBody(QTcpSocket *socket, const QByteArray &bytes);
    void sendTrickle(QTcpSocket *socket);

    QTcpServer *server;
    QString root;
    QHash<QString, QByteArray> contents;
    QHash<QString, Fault> faults;
    QHash<QString, int> requestCounts;
    QHash<QString, qint64> bodyBytes;
    QStringList requestLog_;
    QList<QByteArray> requestHeads;
    QHash<QTcpSocket *, Connection> connections;
};
