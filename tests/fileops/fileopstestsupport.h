#pragma once

#include "tasks/taskspecification.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <QThreadPool>

#include <zlib.h>

#include <csignal>
#include <sys/resource.h>

// Helpers shared by the file operation tests: snapshots of a directory tree,
// gzip data, one observed task run, and a simulated full disk.

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
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Md5);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            entries.insert(relative,
                           QString::fromLatin1(hash.result().toHex()) + QLatin1Char(' ')
                               + QString::number(int(info.permissions()), 16));
        }
    }
    return entries;
}

inline QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Writes content to path, creating the directories above it.
inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size() && file.flush();
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

// What one execution of a task did, observed from outside.
struct TaskRun
{
    // Whether finished() or canceled() came before execute() returned.
    bool endedInsideExecute = false;
    TaskSpecification::TaskState stateAfterExecute = TaskSpecification::Idle;
    int finished = 0;
    int canceled = 0;
    // Whether every finished()/canceled() named the task itself.
    bool signalsNameTask = true;
    TaskSpecification::TaskState state = TaskSpecification::Idle;
    QStringList messages;
    QList<double> progress;
};

// Executes the task and waits (bounded) for its end; then lets pool work and
// queued signals drain, so that a second end would be counted too.
inline TaskRun runTask(TaskSpecification &task)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    TaskRun run;
    task.execute();
    run.stateAfterExecute = task.state;
    run.endedInsideExecute = finished.count() + canceled.count() > 0;
    // A run that never ends shows as finished == canceled == 0.
    if (!QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 60000))
        return run;
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    run.finished = int(finished.count());
    run.canceled = int(canceled.count());
    for (const QList<QVariant> &args : finished)
        run.signalsNameTask &= args.at(0).value<TaskSpecification *>() == &task;
    for (const QList<QVariant> &args : canceled)
        run.signalsNameTask &= args.at(0).value<TaskSpecification *>() == &task;
    run.state = task.state;
    for (const QList<QVariant> &args : messages)
        run.messages << args.at(0).toString();
    for (const QList<QVariant> &args : progress)
        run.progress << args.at(0).toDouble();
    return run;
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
