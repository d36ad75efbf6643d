#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

/**
 * @class GzipBody
 * @brief Inflates a gzip body as it arrives and hands the plain bytes on, never more of them
 * than a bound.
 *
 * feed() takes the body's bytes in any pieces and gives the sink what they inflate to, a piece
 * of at most OutputPiece bytes at a time, so that memory holds one piece and zlib's window
 * whatever the body inflates to. Plain bytes beyond the bound are never handed on: a small body
 * that would inflate to far more (a bomb) fails as soon as the bound is passed. The body is
 * complete once the gzip trailer has been read (its CRC and length checked by zlib); bytes after
 * it fail the body, as do bytes that are no gzip data.
 */
class GzipBody
{
public:
    /// Receives plain bytes in order; false stops the inflating (as an error).
    using Sink = std::function<bool(QByteArrayView bytes)>;
    static constexpr qsizetype OutputPiece = 64 * 1024;

    GzipBody();
    ~GzipBody();
    GzipBody(const GzipBody &) = delete;
    GzipBody &operator=(const GzipBody &) = delete;

    /// Begins a body that may inflate to at most @p bound bytes (more than 0).
    void start(qint64 bound);
    /// Takes the next bytes of the body. False with the reason in error() once they are no gzip
    /// data, inflate beyond the bound or follow the trailer, or the sink refused.
    bool feed(QByteArrayView bytes, const Sink &sink);
    /// Whether the whole gzip member, trailer included, has been read.
    bool isComplete() const { return complete; }
    /// The plain bytes handed on so far.
    qint64 inflated() const { return produced; }
    QString error() const { return problem; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream;
    QByteArray output;
    qint64 bound = 0;
    qint64 produced = 0;
    bool complete = false;
    QString problem;
};
