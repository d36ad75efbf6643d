#include "manifest/filestatecache.h"

#include "fileops/stagedfile.h"

#include <QCoreApplication>
#include <QFile>

#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Magic[] = "varnolt-file-state 1";
const char RootTag[] = "root ";
const char EndTag[] = "end ";
constexpr int Md5Bytes = 16;
constexpr qint64 NanosPerSecond = 1000000000;
// The coarsest time granularity of a file system the installation may live on (FAT's two
// seconds); used only when the file system's own clock cannot be read.
constexpr qint64 CoarsestGranularity = 2 * NanosPerSecond;

qint64 nanoseconds(const struct timespec &time)
{
    return qint64(time.tv_sec) * NanosPerSecond + time.tv_nsec;
}

QString text(const char *english)
{
    return QCoreApplication::translate("FileStateCache", english);
}

// Reads one decimal number of a line and the blank after it.
template<typename Number> bool takeNumber(const char *&pos, const char *end, Number *value)
{
    const std::from_chars_result result = std::from_chars(pos, end, *value);
    if (result.ec != std::errc() || result.ptr == end || *result.ptr != ' ')
        return false;
    pos = result.ptr + 1;
    return true;
}

// CRC-32 of size bytes at data, continuing crc (0 for a start).
quint32 checksum(quint32 crc, const char *data, qsizetype size)
{
    uLong sum = crc;
    // zlib takes at most 4 GiB at a time.
    constexpr qsizetype Piece = 1 << 30;
    for (qsizetype done = 0; done < size; done += Piece) {
        const qsizetype part = qMin(Piece, size - done);
        sum = ::crc32(sum, reinterpret_cast<const Bytef *>(data + done), uInt(part));
    }
    return quint32(sum);
}

} // namespace

QString FileStateCache::fileName()
{
    return QStringLiteral("update.state");
}

FileStateCache::FileStateCache(const QString &installDir) : installDir(installDir) { }

QString FileStateCache::path() const
{
    return installDir + QLatin1Char('/') + fileName();
}

bool FileStateCache::rootIdentity(quint64 *device, quint64 *inode) const
{
    struct stat info;
    if (::stat(QFile::encodeName(installDir).constData(), &info) != 0)
        return false;
    *device = quint64(info.st_dev);
    *inode = quint64(info.st_ino);
    return true;
}

void FileStateCache::renewAll()
{
    records.clear();
    installationCommitted = false;
    rootKnown = rootIdentity(&rootDevice, &rootInode);
    changed = true;
}

bool FileStateCache::load(QString *problem)
{
    renewAll();
    changed = false;
    if (!rootKnown) {
        *problem = text("The installation directory cannot be examined; every installed file is "
                        "checked");
        return false;
    }

    const int fd = ::open(QFile::encodeName(path()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        *problem = text("No file state cache yet; every installed file is checked");
        return false;
    }
    QFile file;
    struct stat info;
    QByteArray data;
    bool read = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        && file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle);
    if (read && info.st_size > MaxFileBytes) {
        // Read whole it would hold the memory and the start of every run; replaced by the next
        // save even when this run learns nothing.
        changed = true;
        *problem = text("Ignoring the file state cache %1 (larger than %2 MB); every installed "
                        "file is checked")
                       .arg(path())
                       .arg(MaxFileBytes / 1000000);
        return false;
    }
    if (read) {
        data = file.readAll();
        read = data.size() == info.st_size;
    } else if (fd >= 0 && !file.isOpen()) {
        ::close(fd);
    }
    if (!read) {
        *problem = text("The file state cache %1 cannot be read; every installed file is checked")
                       .arg(path());
        return false;
    }
    if (!parse(data, problem)) {
        records.clear();
        *problem = text("Ignoring the file state cache %1 (%2); every installed file is checked")
                       .arg(path(), *problem);
        return false;
    }
    return true;
}

bool FileStateCache::parse(const QByteArray &data, QString *problem)
{
    // The last line carries the number of entries and a checksum of everything before it, so
    // that a file cut short or overwritten anywhere is recognised as a whole.
    if (!data.endsWith('\n')) {
        *problem = text("damaged");
        return false;
    }
    const qsizetype endLine = data.lastIndexOf('\n', data.size() - 2) + 1;
    const char *end = data.constData() + data.size() - 1;
    const char *pos = data.constData() + endLine;
    qsizetype count = 0;
    quint32 expected = 0;
    bool ok = endLine > 0 && data.mid(endLine, qsizetype(sizeof EndTag) - 1) == EndTag;
    if (ok) {
        pos += sizeof EndTag - 1;
        ok = takeNumber(pos, end, &count);
        const std::from_chars_result result = std::from_chars(pos, end, expected, 16);
        ok = ok && result.ec == std::errc() && result.ptr == end;
    }
    if (!ok || checksum(0, data.constData(), endLine) != expected) {
        *problem = text("damaged");
        return false;
    }

    qsizetype lineStart = 0;
    auto nextLine = [&](QByteArray *line) {
        const qsizetype lineEnd = data.indexOf('\n', lineStart);
        *line = QByteArray::fromRawData(data.constData() + lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
    };
    QByteArray line;
    nextLine(&line);
    if (line != Magic) {
        *problem = text("another format");
        return false;
    }
    nextLine(&line);
    quint64 device = 0;
    quint64 inode = 0;
    pos = line.constData() + sizeof RootTag - 1;
    end = line.constData() + line.size();
    // The same directory by name and by identity: a cache copied into another installation, or
    // left in a directory that was replaced by another one, knows nothing of these files.
    if (!line.startsWith(RootTag) || !takeNumber(pos, end, &device) || !takeNumber(pos, end, &inode)
        || QFile::decodeName(QByteArray(pos, end - pos)) != installDir || device != rootDevice
        || inode != rootInode) {
        *problem = text("written for another installation directory");
        return false;
    }

    // The checksum cannot vouch for the count: it was written beside it. An entry line takes more
    // than 40 bytes, so the lines there are bound what room is worth reserving; a damaged count
    // must cost a log line, not the memory of the machine.
    records.reserve(qMin(count, qsizetype((endLine - lineStart) / 40 + 1)));
    while (lineStart < endLine) {
        nextLine(&line);
        pos = line.constData();
        end = pos + line.size();
        Record record;
        const bool fields = takeNumber(pos, end, &record.stamp)
            && takeNumber(pos, end, &record.inode) && takeNumber(pos, end, &record.size)
            && takeNumber(pos, end, &record.mtime) && takeNumber(pos, end, &record.ctime)
            && end - pos > 2 * Md5Bytes + 1 && pos[2 * Md5Bytes] == ' ';
        const QByteArray md5 = fields
            ? QByteArray::fromHex(QByteArray::fromRawData(pos, 2 * Md5Bytes))
            : QByteArray();
        if (md5.size() != Md5Bytes) {
            *problem = text("damaged");
            return false;
        }
        std::copy(md5.cbegin(), md5.cend(), record.md5.begin());
        pos += 2 * Md5Bytes + 1;
        records.insert(QString::fromUtf8(pos, end - pos), record);
    }
    if (records.size() != count) {
        *problem = text("damaged");
        return false;
    }
    return true;
}

bool FileStateCache::writeTo(int fd) const
{
    // Written in pieces as it is made: for a large installation the whole text would be several
    // megabytes more at the very end of a run, when the run's own lists are still there.
    constexpr qsizetype Piece = 64 * 1024;
    QByteArray data;
    data.reserve(Piece + 4096);
    quint32 crc = 0;
    qsizetype written = 0;
    const auto flush = [&]() {
        crc = checksum(crc, data.constData(), data.size());
        const bool ok = StagedFile::writeAll(fd, data.constData(), data.size());
        data.clear();
        return ok;
    };
    data += Magic;
    data += '\n';
    data += RootTag + QByteArray::number(rootDevice) + ' ' + QByteArray::number(rootInode) + ' '
        + QFile::encodeName(installDir) + '\n';
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        const Record &record = it.value();
        if (record.pending)
            continue;
        ++written;
        data += QByteArray::number(record.stamp);
        data += ' ';
        data += QByteArray::number(record.inode);
        data += ' ';
        data += QByteArray::number(record.size);
        data += ' ';
        data += QByteArray::number(record.mtime);
        data += ' ';
        data += QByteArray::number(record.ctime);
        data += ' ';
        data += QByteArray::fromRawData(record.md5.data(), Md5Bytes).toHex();
        data += ' ';
        data += it.key().toUtf8();
        data += '\n';
        if (data.size() >= Piece && !flush())
            return false;
    }
    if (!flush())
        return false;
    data += EndTag + QByteArray::number(written) + ' ' + QByteArray::number(crc, 16) + '\n';
    return StagedFile::writeAll(fd, data.constData(), data.size());
}

bool FileStateCache::canRecord(const struct stat &info) const
{
    // Another device may stamp its files with another clock or granularity than the one the
    // entry's stamp was read from.
    return rootKnown && S_ISREG(info.st_mode) && quint64(info.st_dev) == rootDevice;
}

QByteArray FileStateCache::trustedMd5(const QString &path, const struct stat &now) const
{
    const auto it = records.constFind(path);
    if (it == records.cend() || !canRecord(now))
        return {};
    const Record &record = it.value();
    const qint64 mtime = nanoseconds(now.st_mtim);
    const qint64 ctime = nanoseconds(now.st_ctim);
    if (record.inode != quint64(now.st_ino) || record.size != qint64(now.st_size)
        || record.mtime != mtime || record.ctime != ctime)
        return {};
    // Racily clean: changed in the tick the entry was made in, the file could still show the
    // times recorded while holding other bytes.
    if (record.pending || mtime >= record.stamp || ctime >= record.stamp)
        return {};
    return QByteArray(record.md5.data(), Md5Bytes);
}

void FileStateCache::learn(const QString &path, const struct stat &info, const QByteArray &md5,
                           qint64 stamp)
{
    if (!canRecord(info) || md5.size() != Md5Bytes) {
        forget(path);
        return;
    }
    Record record;
    record.stamp = stamp;
    record.inode = quint64(info.st_ino);
    record.size = qint64(info.st_size);
    record.mtime = nanoseconds(info.st_mtim);
    record.ctime = nanoseconds(info.st_ctim);
    std::copy(md5.cbegin(), md5.cend(), record.md5.begin());
    records.insert(path, record);
    changed = true;
}

void FileStateCache::forget(const QString &path)
{
    if (records.remove(path))
        changed = true;
}

void FileStateCache::keepOnly(const QSet<QString> &paths)
{
    for (auto it = records.begin(); it != records.end();) {
        if (paths.contains(it.key())) {
            ++it;
        } else {
            it = records.erase(it);
            changed = true;
        }
    }
}

void FileStateCache::expectInstall(const QString &path, const QString &md5)
{
    const QByteArray digest = QByteArray::fromHex(md5.toLatin1());
    if (digest.size() != Md5Bytes) {
        forget(path);
        return;
    }
    Record record;
    record.pending = true;
    std::copy(digest.cbegin(), digest.cend(), record.md5.begin());
    records.insert(path, record);
    changed = true;
}

void FileStateCache::installed(const QString &path)
{
    const auto it = records.find(path);
    if (it == records.end() || !it->pending)
        return;
    struct stat info;
    const QByteArray name = QFile::encodeName(installDir + QLatin1Char('/') + path);
    if (::lstat(name.constData(), &info) != 0 || !canRecord(info)) {
        records.erase(it);
        return;
    }
    Record &record = it.value();
    record.installed = true;
    record.inode = quint64(info.st_ino);
    record.size = qint64(info.st_size);
    record.mtime = nanoseconds(info.st_mtim);
    record.ctime = nanoseconds(info.st_ctim);
}

void FileStateCache::recordInstalled()
{
    // A file installed moments ago carries times of this very tick; stamped with the time at
    // installation, it would be read again by the next run. Looked at again now, later than its
    // installation, a file of the same inode, size and mtime as right after it was installed
    // has not been written since (a write moves the mtime; only a tool that also sets it back,
    // within the few moments between the installation and the end of this run, could hide one),
    // and the time of this look can be its stamp. Its ctime may have moved: the session's name
    // of a download that was linked into place is removed after the installation.
    qint64 stamp = -1;
    for (auto it = records.begin(); it != records.end();) {
        Record &record = it.value();
        if (!record.pending) {
            ++it;
            continue;
        }
        if (stamp < 0 && installationCommitted)
            stamp = fileSystemNow(installDir);
        struct stat info;
        const QByteArray name = QFile::encodeName(installDir + QLatin1Char('/') + it.key());
        if (!installationCommitted || !record.installed || ::lstat(name.constData(), &info) != 0
            || !canRecord(info) || quint64(info.st_ino) != record.inode
            || qint64(info.st_size) != record.size || nanoseconds(info.st_mtim) != record.mtime
            || nanoseconds(info.st_ctim) < record.ctime) {
            it = records.erase(it);
            continue;
        }
        record.ctime = nanoseconds(info.st_ctim);
        record.stamp = stamp;
        record.pending = false;
        ++it;
    }
}

bool FileStateCache::save(QString *problem)
{
    recordInstalled();
    if (!changed)
        return true;
    if (!rootKnown)
        rootKnown = rootIdentity(&rootDevice, &rootInode);
    const QString target = path();
    // Left by a crash where unnamed files are not supported; the staged file needs the name.
    ::unlink(QFile::encodeName(StagedFile::temporaryName(target)).constData());
    StagedFile out(target);
    const bool written = rootKnown && out.isOpen() && writeTo(out.handle())
        && out.commit(StagedFile::KeepMode, StagedFile::Replace)
        && StagedFile::syncDirectory(installDir);
    if (!written) {
        *problem = text("Could not save the file state cache %1: %2")
                       .arg(target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    changed = false;
    return true;
}

bool FileStateCache::discard(const QString &installDir)
{
    const QByteArray name = QFile::encodeName(installDir + QLatin1Char('/') + fileName());
    if (::unlink(name.constData()) != 0)
        return errno == ENOENT;
    StagedFile::syncDirectory(installDir);
    return true;
}

qint64 FileStateCache::fileSystemNow(const QString &directory)
{
    const int fd
        = ::open(QFile::encodeName(directory).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat info;
        const bool ok = ::fstat(fd, &info) == 0;
        ::close(fd);
        if (ok)
            return qMax(nanoseconds(info.st_mtim), nanoseconds(info.st_ctim));
    }
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now) - CoarsestGranularity;
}
