#pragma once

#include <QByteArray>
#include <QString>

/// A bounded window onto a file read with pread(), for reading a large file from start to end
/// a few bytes at a time without holding it: asking for bytes beyond those held keeps what
/// follows the requested offset and fills the rest of the buffer in one go.
///
/// The file is taken to have the size given: a read that ends before it (the file shrank, or a
/// read failed) is an error, and bytes beyond it (the file grew) are never read.
class FileWindow
{
public:
    FileWindow(int fd, qint64 size, qsizetype capacity);

    /**
     * The file's bytes from @p offset to @p offset + @p length, valid until the next call, or
     * null with the reason in @p problem for a failed or short read. @p length must not exceed
     * the capacity.
     */
    const char *bytes(qint64 offset, qsizetype length, QString *problem);

    /// The offset after the last byte held: bytes() up to it reads nothing.
    qint64 end() const { return start + filled; }

private:
    int fd;
    qint64 size;
    QByteArray buffer;
    qint64 start = 0;
    qsizetype filled = 0;
};
