#include "httpmirror.h"

#include "byterangeanswer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// A request head larger than this is not a request a download would send.
const int MaxHeadSize = 64 * 1024;

QByteArray reasonPhrase(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 206:
        return "Partial Content";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

TestHttpMirror::Fault TestHttpMirror::Fault::status(int code)
{
    Fault fault;
    fault.statusCode = code;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::redirect(const QByteArray &location, int code)
{
    Fault fault = status(code);
    fault.location = location;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::authenticationRequired(const QByteArray &realm)
{
    Fault fault = status(401);
    fault.challenge = "Basic realm=\"" + realm + "\"";
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::contentRangeIn(const QByteArray &form)
{
    Fault fault;
    fault.contentRangeForm = form;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::stall(qint64 afterBytes)
{
    Fault fault;
    fault.stallAt = afterBytes;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::truncate(qint64 afterBytes)
{
    Fault fault;
    fault.truncateAt = afterBytes;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::closeBeforeAnswer()
{
    Fault fault;
    fault.closeUnanswered = true;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::noContentLength()
{
    Fault fault;
    fault.omitContentLength = true;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::trickle(qint64 bytesPerInterval, int intervalMs)
{
    Fault fault;
    fault.trickleBytes = bytesPerInterval;
    fault.trickleIntervalMs = intervalMs;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::overlong(qint64 excessBytes)
{
    Fault fault;
    fault.excessBytes = excessBytes;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::corrupt(qint64 offset)
{
    Fault fault;
    fault.corruptAt = offset;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::rangeAnswer(RangeAnswer answer)
{
    Fault fault;
    fault.range = answer;
    return fault;
}

TestHttpMirror::Fault TestHttpMirror::Fault::times(int requests) const
{
    Fault fault = *this;
    fault.remaining = requests;
    return fault;
}

TestHttpMirror::TestHttpMirror(QObject *parent) : QObject(parent), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &TestHttpMirror::onNewConnection);
    server->listen(QHostAddress::LocalHost, 0);
}

TestHttpMirror::~TestHttpMirror()
{
    // Sockets report their disconnection while being destroyed; this object must not hear it.
    const QList<QTcpSocket *> sockets = connections.keys();
    for (QTcpSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
        delete socket;
    }
}

bool TestHttpMirror::isListening() const
{
    return server->isListening();
}

quint16 TestHttpMirror::port() const
{
    return server->serverPort();
}

QString TestHttpMirror::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl TestHttpMirror::url(const QString &path) const
{
    return QUrl(baseUrl() + QLatin1Char('/') + key(path));
}

void TestHttpMirror::setRootPath(const QString &dir)
{
    root = dir.isEmpty() ? QString() : QDir::cleanPath(QDir(dir).absolutePath());
}

void TestHttpMirror::setContent(const QString &path, const QByteArray &body)
{
    contents.insert(key(path), body);
}

void TestHttpMirror::removeContent(const QString &path)
{
    contents.remove(key(path));
}

void TestHttpMirror::setFault(const QString &path, const Fault &fault)
{
    faults.insert(key(path), fault);
}

void TestHttpMirror::clearFault(const QString &path)
{
    faults.remove(key(path));
}

void TestHttpMirror::clearFaults()
{
    faults.clear();
}

void TestHttpMirror::resumeStalled(const QString &path)
{
    const QString k = key(path);
    const QList<QTcpSocket *> sockets = connections.keys();
    for (QTcpSocket *socket : sockets) {
        Connection &connection = connections[socket];
        if (!connection.stalled || connection.path != k)
            continue;
        connection.stalled = false;
        const QByteArray rest = connection.pending;
        connection.pending.clear();
        writeBody(socket, rest);
        socket->disconnectFromHost();
    }
}

int TestHttpMirror::requestCount(const QString &path) const
{
    return requestCounts.value(key(path));
}

qint64 TestHttpMirror::bodyBytesSent(const QString &path) const
{
    return bodyBytes.value(key(path));
}

qint64 TestHttpMirror::totalBodyBytesSent() const
{
    qint64 total = 0;
    for (const qint64 bytes : bodyBytes)
        total += bytes;
    return total;
}

QByteArrayList TestHttpMirror::requestHeaders(const QByteArray &name) const
{
    QByteArrayList values;
    for (const QByteArray &head : requestHeads) {
        QByteArray value;
        const QList<QByteArray> lines = head.split('\n');
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                value = line.mid(colon + 1).trimmed();
        }
        values.append(value);
    }
    return values;
}

QString TestHttpMirror::key(const QString &path)
{
    QString k = path;
    while (k.startsWith(QLatin1Char('/')))
        k.remove(0, 1);
    return k;
}

void TestHttpMirror::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        connections.insert(socket, Connection());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket] { onDisconnected(socket); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void TestHttpMirror::onReadyRead(QTcpSocket *socket)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    if (it->answered) {
        socket->readAll();
        return;
    }
    it->head += socket->readAll();
    const int end = it->head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (it->head.size() > MaxHeadSize) {
            it->answered = true;
            socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                          "Connection: close\r\n\r\n");
            socket->disconnectFromHost();
        }
        return;
    }
    it->answered = true;
    const QList<QByteArray> requestLine = it->head.left(it->head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    QByteArray target = requestLine.value(1);
    const int query = target.indexOf('?');
    if (query >= 0)
        target.truncate(query);
    const QString path = key(QUrl::fromPercentEncoding(target));
    it->path = path;

    requestCounts[path] += 1;
    requestLog_.append(path);
    requestHeads.append(it->head.left(end));
    emit requestReceived(path);
    if (connections.contains(socket))
        answer(socket, method, path, it->head.left(end));
}

void TestHttpMirror::onDisconnected(QTcpSocket *socket)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    // The timer belongs to the socket and goes with it; this may run inside its own timeout.
    if (it->trickleTimer)
        it->trickleTimer->stop();
    connections.erase(it);
    socket->deleteLater();
}

bool TestHttpMirror::lookUp(const QString &path, QByteArray &body) const
{
    auto content = contents.constFind(path);
    if (content != contents.constEnd()) {
        body = *content;
        return true;
    }
    if (root.isEmpty() || path.isEmpty())
        return false;
    const QString filePath = QDir::cleanPath(root + QLatin1Char('/') + path);
    if (!filePath.startsWith(root + QLatin1Char('/')) || !QFileInfo(filePath).isFile())
        return false;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    body = file.readAll();
    return true;
}

TestHttpMirror::Fault TestHttpMirror::takeFault(const QString &path)
{
    auto it = faults.find(path);
    if (it == faults.end())
        return Fault();
    const Fault fault = *it;
    if (it->remaining > 0 && --it->remaining == 0)
        faults.erase(it);
    return fault;
}

void TestHttpMirror::answer(QTcpSocket *socket, const QByteArray &method, const QString &path,
                            const QByteArray &requestHead)
{
    Fault fault;
    QByteArray body;
    QByteArray contentRange;
    const bool headOnly = method == "HEAD";
    if (method != "GET" && !headOnly) {
        fault.statusCode = 405;
    } else {
        fault = takeFault(path);
        if (fault.closeUnanswered) {
            socket->disconnectFromHost();
            return;
        }
        if (fault.statusCode == 200 && !lookUp(path, body))
            fault.statusCode = 404;
    }
    QByteArray contentType = "application/octet-stream";
    if (fault.corruptAt >= 0 && fault.corruptAt < body.size())
        body[fault.corruptAt] = char(body.at(fault.corruptAt) ^ 0x5a);
    const qint64 size = body.size();
    const QList<QPair<qint64, qint64>> ranges
        = fault.statusCode == 200 && fault.range != RangeAnswer::Ignore
        ? ByteRangeAnswer::ranges(requestHead, size)
        : QList<QPair<qint64, qint64>>();
    const bool several = ranges.size() > 1;
    const qint64 first = ranges.isEmpty() ? 0 : ranges.first().first;
    const qint64 last = ranges.isEmpty() ? 0 : ranges.first().second;
    if (ranges.isEmpty() || (several && fault.range == RangeAnswer::SeveralAsWhole)) {
        // The whole body, as a server without range support sends it.
    } else if (first >= size || fault.range == RangeAnswer::Unsatisfiable
               || (several && fault.range == RangeAnswer::SeveralUnsatisfiable)) {
        fault.statusCode = 416;
        contentRange = "bytes */" + QByteArray::number(size);
    } else if (several && fault.range == RangeAnswer::SeveralNotImplemented) {
        fault.statusCode = 501;
    } else if (fault.range == RangeAnswer::WrongStart) {
        fault.statusCode = 206;
        contentRange = "bytes 0-" + QByteArray::number(size - 1) + '/' + QByteArray::number(size);
    } else if (several) {
        fault.statusCode = 206;
        body = ByteRangeAnswer::multipart(body, ranges,
                                          fault.range == RangeAnswer::SeveralShifted ? 1 : 0,
                                          fault.contentRangeForm);
        contentType = "multipart/byteranges; boundary=" + ByteRangeAnswer::Boundary;
    } else {
        fault.statusCode = 206;
        body = body.mid(first, last - first + 1);
        contentRange = ByteRangeAnswer::contentRange(fault.contentRangeForm, first, last, size);
    }
    if (fault.statusCode != 200 && fault.statusCode != 206)
        body = reasonPhrase(fault.statusCode) + '\n';

    QByteArray head = "HTTP/1.1 " + QByteArray::number(fault.statusCode) + ' '
        + reasonPhrase(fault.statusCode) + "\r\n";
    head += "Content-Type: "
        + (fault.statusCode == 200 || fault.statusCode == 206 ? contentType : "text/plain")
        + "\r\n";
    if (!fault.omitContentLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!contentRange.isEmpty())
        head += "Content-Range: " + contentRange + "\r\n";
    if (!fault.location.isEmpty())
        head += "Location: " + fault.location + "\r\n";
    if (!fault.challenge.isEmpty())
        head += "WWW-Authenticate: " + fault.challenge + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (headOnly) {
        socket->disconnectFromHost();
        return;
    }

    // Shared, not copied, unless there is an excess: bodies of a few hundred MiB are served too.
    const QByteArray payload
        = fault.excessBytes > 0 ? body + QByteArray(fault.excessBytes, 'X') : body;
    Connection &connection = connections[socket];
    if (fault.stallAt >= 0) {
        connection.stalled = true;
        connection.pending = payload.mid(fault.stallAt);
        writeBody(socket, payload.left(fault.stallAt));
        return;
    }
    if (fault.truncateAt >= 0) {
        writeBody(socket, payload.left(fault.truncateAt));
        socket->disconnectFromHost();
        return;
    }
    if (fault.trickleBytes > 0) {
        connection.pending = payload;
        connection.trickleBytes = fault.trickleBytes;
        connection.trickleTimer = new QTimer(socket);
        connection.trickleTimer->setInterval(fault.trickleIntervalMs);
        connect(connection.trickleTimer, &QTimer::timeout, this,
                [this, socket] { sendTrickle(socket); });
        connection.trickleTimer->start();
        return;
    }
    writeBody(socket, payload);
    socket->disconnectFromHost();
}

void TestHttpMirror::writeBody(QTcpSocket *socket, const QByteArray &bytes)
{
    auto it = connections.constFind(socket);
    if (it == connections.constEnd() || bytes.isEmpty())
        return;
    bodyBytes[it->path] += bytes.size();
    socket->write(bytes);
}

void TestHttpMirror::sendTrickle(QTcpSocket *socket)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    const QByteArray chunk = it->pending.left(it->trickleBytes);
    it->pending.remove(0, chunk.size());
    const bool done = it->pending.isEmpty();
    if (done)
        it->trickleTimer->stop();
    writeBody(socket, chunk);
    if (done)
        socket->disconnectFromHost();
}
