#include "fileops/fileunzipfunc.h"

#include <QFile>

#include <zlib.h>

#include <cerrno>
#include <unistd.h>

namespace {

constexpr unsigned int BufferSize = 16384;

// Makes the unpacked bytes durable before the file is reported as complete:
// the installation goes on to delete the old copy of this file. File systems
// that cannot sync report EINVAL; there is nothing more to wait for then.
bool syncToDisk(const QFile &file)
{
    return ::fsync(file.handle()) == 0 || errno == EINVAL;
}

} // namespace

FileUnzipFunc::FileUnzipFunc(const QString &sourcePath, const QString &destinationPath)
    : SlowFileOpFunc(sourcePath, destinationPath)
{
}

bool FileUnzipFunc::run()
{
    // unzipFile() removes what it created when it fails. Deleting the
    // destination here as well would delete a file that was there before and
    // that it refused to touch.
    return unzipFile(destinationPath, sourcePath);
}

bool FileUnzipFunc::unzipFile(const QString &destinationPath, const QString &sourcePath)
{
    QFile destination(destinationPath);
    // NewOnly instead of truncating: an existing destination is not this
    // step's file, the journal would later delete it as if it were, and a
    // symbolic link there would be written through. Unbuffered, so that a
    // short write shows at the write that fell short.
    if (!destination.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;

    auto discard = [&destination]() {
        destination.close();
        destination.remove();
        return false;
    };

    // The file system's own encoding, not Latin-1: any other conversion
    // would fail on paths with characters outside ASCII.
    gzFile source = gzopen(QFile::encodeName(sourcePath).constData(), "rb");
    if (!source)
        return discard();

    gzrewind(source);
    char buffer[BufferSize];
    for (;;) {
        const int read = gzread(source, buffer, BufferSize);
        if (read == 0)
            break;
        if (read < 0 || destination.write(buffer, read) != read) {
            gzclose(source);
            return discard();
        }
    }

    // gzread() ends with 0 also when the data stops in the middle of the
    // stream; only the error state tells a truncated file from a complete one.
    int streamError = Z_OK;
    gzerror(source, &streamError);
    const int closeResult = gzclose(source);
    if (streamError != Z_OK || closeResult != Z_OK)
        return discard();

    if (!syncToDisk(destination))
        return discard();
    destination.close();
    if (destination.error() != QFileDevice::NoError) {
        destination.remove();
        return false;
    }
    return true;
}
