#include "manifest/filewindow.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

FileWindow::FileWindow(int fd, qint64 size, qsizetype capacity)
    : fd(fd), size(size), buffer(capacity, Qt::Uninitialized)
{
}

const char *FileWindow::bytes(qint64 offset, qsizetype length, QString *problem)
{
    if (offset >= start && offset + length <= start + filled)
        return buffer.constData() + (offset - start);
    if (length > buffer.size() || offset < 0 || offset + length > size) {
        *problem = QStringLiteral("bytes %1 to %2 are outside the file of %3 bytes")
                       .arg(offset)
                       .arg(offset + length)
                       .arg(size);
        return nullptr;
    }
    if (offset >= start && offset < start + filled) {
        filled = start + filled - offset;
        std::memmove(buffer.data(), buffer.constData() + (offset - start), size_t(filled));
    } else {
        filled = 0;
    }
    start = offset;
    const qsizetype wanted = qsizetype(qMin(qint64(buffer.size()), size - start));
    while (filled < wanted) {
        const ssize_t got
            = ::pread(fd, buffer.data() + filled, size_t(wanted - filled), off_t(start + filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *problem = QStringLiteral("cannot read at %1: %2")
                           .arg(start + filled)
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return nullptr;
        }
        if (got == 0) {
            *problem = QStringLiteral("the file ends at %1 instead of %2: it changed while it was "
                                      "read")
                           .arg(start + filled)
                           .arg(size);
            return nullptr;
        }
        filled += got;
    }
    return buffer.constData();
}
