#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

/// Reads the body of a "multipart/byteranges" answer (a 206 to a request for several ranges) as
/// it arrives: each part's bytes go to the sink with their offset in the file, without the body
/// ever being held whole.
///
/// A part must name its range in a "Content-Range: bytes FIRST-LAST/TOTAL" header, within the
/// file's size as the caller knows it; anything else (no boundary, a part without its range, a
/// range outside the file, headers without end, a body that ends inside a part) is an error
/// that names what was wrong, and the reader takes no more. Which ranges were asked for is the
/// caller's to check against what arrived: a mirror may merge, reorder or leave out ranges.
class ByteRangesReader
{
public:
    /// Receives part bytes at their file offset; false stops the reading (as an error).
    using Sink = std::function<bool(qint64 offset, QByteArrayView bytes)>;

    /// The boundary of a "multipart/byteranges; boundary=..." content type, quoted or not;
    /// empty for any other content type.
    static QByteArray boundaryOf(const QByteArray &contentType);

    ByteRangesReader(const QByteArray &boundary, qint64 fileSize, Sink sink);

    /// Takes the next bytes of the body. False once the body is malformed (see error()).
    bool feed(QByteArrayView data);
    /// Whether the closing boundary has been read: the body is complete.
    bool isComplete() const { return state == Done; }
    /// Why the body was refused; empty while it is not.
    QString error() const { return problem; }
    /// Bytes of the file the parts delivered so far.
    qint64 partBytes() const { return delivered; }

private:
    enum State { Preamble, Headers, Body, AfterBody, Done, Failed };

    bool fail(const QString &why);
    // Handles one complete line of the preamble or of a part's headers (without its end).
    bool takeLine(const QByteArray &line);

    const QByteArray delimiter;
    const qint64 fileSize;
    const Sink sink;
    State state = Preamble;
    QByteArray pending;
    qint64 partStart = -1;
    qint64 partLeft = 0;
    qint64 offset = 0;
    qint64 delivered = 0;
    QString problem;
};
