#pragma once

#include "fileops/filereplacetaskspecification.h"
#include "taskrun.h"
#include "tasks/taskspecification.h"
#include "testsupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <zlib.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

// Helpers shared by the file operation tests: snapshots of a directory tree,
// gzip data, staged downloads, the shape of composed tasks, and a simulated
// full disk.

// Every entry below root by relative path: "dir", "link:<target>", or the MD5
// of a regular file's content and its permission bits. Two equal snapshots
// mean the tree is back as it was, byte for byte.
inline QMap<QString, QString> snapshot(const QString &root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = base.relativeFilePath(path);
        if (info.isSymLink()) {
            entries.insert(relative, QStringLiteral("link:") + info.symLinkTarget());
        } else if (info.isDir()) {
            entries.insert(relative, QStringLiteral("dir"));
        } else {
            entries.insert(relative,
                           md5OfFile(path) + QLatin1Char(' ')
                               + QString::number(int(info.permissions()), 16));
        }
    }
    return entries;
}

// Like snapshot(), without the permission bits: a downloaded file that was linked into the
// installation takes the installed file's mode with it, but its bytes never change.
inline QMap<QString, QString> contentSnapshot(const QString &root)
{
    QMap<QString, QString> entries = snapshot(root);
    for (auto it = entries.begin(); it != entries.end(); ++it)
        it.value() = it.value().section(QLatin1Char(' '), 0, 0);
    return entries;
}

// Whether the two paths name one file (one inode).
inline bool sameFile(const QString &a, const QString &b)
{
    struct stat first;
    struct stat second;
    return ::stat(QFile::encodeName(a).constData(), &first) == 0
        && ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// A temporary directory on another file system than @p path (in /dev/shm, a tmpfs on most
// machines), where no link can reach; null when there is none.
inline std::unique_ptr<QTemporaryDir> dirOnOtherFileSystem(const QString &path)
{
    struct stat here;
    struct stat there;
    if (::stat("/dev/shm", &there) != 0 || ::stat(QFile::encodeName(path).constData(), &here) != 0
        || here.st_dev == there.st_dev)
        return nullptr;
    auto dir = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/varnolt-test-XXXXXX"));
    if (!dir->isValid())
        return nullptr;
    return dir;
}

// Bytes that do not compress, the same on every run.
inline QByteArray noise(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

// Text that compresses well, so that a compressed file has real deflate
// blocks to corrupt.
inline QByteArray text(int size)
{
    QByteArray data;
    for (int line = 0; data.size() < size; ++line)
        data += "line " + QByteArray::number(line) + " of the client's file, "
            + QByteArray::number(line * 7919 % 104729) + "\n";
    data.truncate(size);
    return data;
}

// A complete gzip file (header, deflate data, CRC-32 and length trailer).
inline QByteArray gzip(const QByteArray &data)
{
    z_stream stream {};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 64, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

// Puts the download for the installed path relative (below the installation
// directory) into tempDir, gzip-compressed or not, and returns its replace
// record.
inline FileReplaceSpecification stageReplacement(const QString &tempDir, const QString &relative,
                                                 const QByteArray &content, bool compressed)
{
    FileReplaceSpecification spec;
    spec.section = QStringLiteral("client");
    if (compressed) {
        spec.filePath = relative + QLatin1String(".gz");
        spec.unzipFilePath = relative;
        spec.unzipMd5 = md5Of(content);
        spec.unzipSize = quint64(content.size());
        writeFile(tempDir + QLatin1Char('/') + spec.filePath, gzip(content));
    } else {
        spec.filePath = relative;
        writeFile(tempDir + QLatin1Char('/') + spec.filePath, content);
    }
    return spec;
}

inline QList<TaskSpecification *> subtasksOf(const QObject &task)
{
    return task.findChildren<TaskSpecification *>(QString(), Qt::FindDirectChildrenOnly);
}

// The subtasks of a composed task in order, as "<class> <share>".
inline QStringList chain(const QObject &task)
{
    QStringList steps;
    for (const TaskSpecification *child : subtasksOf(task))
        steps << QString::fromLatin1(child->metaObject()->className()) + QLatin1Char(' ')
                + QString::number(child->parentProgressRange);
    return steps;
}

// The permission bits of path, -1 when it does not exist.
inline int mode(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// A full disk for this process: while it lives, no file can grow beyond
// limit bytes (writes beyond it fail with EFBIG instead of raising SIGXFSZ).
// Works for root too, unlike permission bits.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit lowered = previous;
        lowered.rlim_cur = limit;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isActive() const { return active; }

private:
    rlimit previous {};
    void (*previousHandler)(int) = nullptr;
    bool active = false;
};
