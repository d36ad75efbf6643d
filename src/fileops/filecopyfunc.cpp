#include "fileops/filecopyfunc.h"

#include "fileops/sessionfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t ChunkSize = 1 << 20;
constexpr size_t BufferSize = 256 * 1024;

// Plain reads and writes, for file systems (or kernels) that cannot copy
// between two files by themselves.
bool copyByBuffer(int in, int out)
{
    QByteArray buffer(qsizetype(BufferSize), Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), BufferSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!StagedFile::writeAll(out, buffer.constData(), got))
            return false;
    }
}

// The kernel copies (or clones, where the file system shares blocks) without
// the bytes passing through this process.
bool copyContent(int in, int out)
{
    bool first = true;
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, ChunkSize, 0);
        if (copied > 0) {
            first = false;
            continue;
        }
        if (copied == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (first && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
            return copyByBuffer(in, out);
        return false;
    }
}

enum class LinkResult { Linked, Failed, NotLinked };

// Gives the source file itself the destination's name, so its bytes are not
// written a second time. The source is a verified session file that is
// never written again (a new download of it starts a new file) and whose
// own name goes with the session, so sharing its inode is safe; its mode is
// set first, as the copy's would be, and its content synced before the name
// appears, as for a staged copy.
LinkResult linkInPlace(int in, mode_t currentMode, mode_t finalMode, const QString &destination,
                       StagedFile::Placement placement)
{
    if (currentMode != finalMode && ::fchmod(in, finalMode) != 0)
        return LinkResult::NotLinked;
    if (!StagedFile::syncData(in))
        return LinkResult::Failed;
    if (StagedFile::placeOpenFile(in, destination, placement))
        return LinkResult::Linked;
    return StagedFile::linkRefused(errno) ? LinkResult::NotLinked : LinkResult::Failed;
}

} // namespace

FileCopyFunc::FileCopyFunc(const QString &sourcePath, const QString &destinationPath)
    : SlowFileOpFunc(sourcePath, destinationPath)
{
}

bool FileCopyFunc::run()
{
    errno = 0;
    const int in = SessionFile::openReadOnly(sourcePath);
    if (in < 0)
        return false;
    struct stat info = {};
    bool ok = ::fstat(in, &info) == 0;
    // A copy is a new file and gets a new file's mode; so does the session file linked in its
    // place, which was created for this user's eyes only.
    const mode_t finalMode = mode == StagedFile::KeepMode ? StagedFile::newFileMode() : mode;
    LinkResult linked = LinkResult::NotLinked;
    if (ok) {
        linked = linkInPlace(in, info.st_mode & 0777, finalMode, destinationPath, placement);
        ok = linked != LinkResult::Failed;
    }
    if (ok && linked == LinkResult::NotLinked) {
        // The copy is written out of sight and takes its name only when it is
        // complete and synced, so a failure or a kill never leaves a partial
        // file under the real name.
        StagedFile out(destinationPath);
        ok = out.isOpen() && copyContent(in, out.handle()) && out.commit(finalMode, placement);
    }
    const int reason = errno;
    ::close(in);
    if (!ok)
        explainLocalFailure(reason);
    return ok;
}
