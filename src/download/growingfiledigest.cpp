#include "download/growingfiledigest.h"

#include "fileops/sessionfile.h"
#include "manifest/sha256.h"
#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

// What the jobs of one file share, one job at a time: the main thread touches it only while no
// job runs.
struct GrowingFileDigest::Progress
{
    Progress(const QString &path, bool writeBack, bool withSha256)
        : path(path), writeBack(writeBack)
    {
        if (withSha256)
            sha256.emplace();
    }
    ~Progress()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY(Progress)

    const QString path;
    const bool writeBack;
    int fd = -1;
    EvpDigest hash {EvpDigest::Md5Algorithm};
    std::optional<Sha256> sha256;
    qint64 done = 0;
    bool failed = false;
};

namespace {

// New bytes worth a job of their own before the file is complete.
constexpr qint64 MinJobBytes = 1024 * 1024;
// Below this, handing the SHA-256 of a block to another thread costs more than it saves: small
// files come many at a time, and their digests keep every core busy anyway.
constexpr qint64 MinSplitBytes = 512 * 1024;

} // namespace

// Digests the bytes from where the last job stopped up to a size the writer reported.
class GrowingFileDigest::Job : public ASyncFunc
{
public:
    Job(std::shared_ptr<Progress> progress, qint64 target, QThreadPool *pool)
        : progress(std::move(progress)), target(target), pool(pool)
    {
    }

    bool run() override
    {
        Progress &p = *progress;
        if (p.fd < 0)
            p.fd = SessionFile::openReadOnly(p.path);
        if (p.fd < 0)
            return false;
        // Large reads: per-call costs then vanish beside the hashing itself.
        QByteArray block(qMin<qsizetype>(1024 * 1024, target - p.done), Qt::Uninitialized);
        const qint64 from = p.done;
        while (p.done < target) {
            const ssize_t count
                = ::pread(p.fd, block.data(), size_t(qMin(qint64(block.size()), target - p.done)),
                          off_t(p.done));
            if (count < 0 && errno == EINTR)
                continue;
            // The file is shorter than its writer said: it was changed behind the writer's back.
            if (count <= 0)
                return false;
            const QByteArrayView bytes(block.constData(), count);
            if (p.sha256 && count >= MinSplitBytes) {
                // The two digests of one block on two threads: for a large file, the check then
                // waits for the slower digest instead of both. A pool with no thread free runs
                // the second one here, when it is waited for.
                QFuture<void> strong
                    = QtConcurrent::run(pool, [&p, bytes] { p.sha256->addData(bytes); });
                p.hash.addData(bytes);
                strong.waitForFinished();
            } else {
                p.hash.addData(bytes);
                if (p.sha256)
                    p.sha256->addData(bytes);
            }
            p.done += count;
        }
        // The file will have to be on disk before it is installed: the disk writes it meanwhile,
        // instead of all at once when the installation waits for it. Only started here; waiting
        // for it would hold the transfer's slot.
        if (p.writeBack)
            ::sync_file_range(p.fd, from, p.done - from, SYNC_FILE_RANGE_WRITE);
        return true;
    }

private:
    std::shared_ptr<Progress> progress;
    const qint64 target;
    QThreadPool *const pool;
};

GrowingFileDigest::GrowingFileDigest(QObject *parent) : QObject(parent) { }

GrowingFileDigest::~GrowingFileDigest() = default;

void GrowingFileDigest::start(const QString &path, qint64 size)
{
    stop();
    progress = std::make_shared<Progress>(path, writeBack, withSha256);
    written = size;
    startJob();
}

void GrowingFileDigest::grown(qint64 size)
{
    if (!progress)
        return;
    written = size;
    startJob();
}

void GrowingFileDigest::finish(qint64 size)
{
    if (!progress)
        return;
    written = size;
    finishing = true;
    startJob();
}

void GrowingFileDigest::stop()
{
    // A running job keeps its own reference and ends on its own; its result no longer counts.
    progress.reset();
    ++generation;
    written = 0;
    jobRunning = false;
    finishing = false;
}

void GrowingFileDigest::startJob()
{
    if (jobRunning)
        return;
    const bool done = progress->failed || progress->done >= written;
    if (done && finishing) {
        const QByteArray digest = progress->failed ? QByteArray() : progress->hash.result();
        const QByteArray sha256 = progress->failed || !progress->sha256
            ? QByteArray()
            : progress->sha256->result();
        stop();
        // Always from the event loop, as when a job had to run first.
        QMetaObject::invokeMethod(
            this,
            [this, digest, sha256, sent = generation] {
                if (sent == generation)
                    emit ready(digest, sha256);
            },
            Qt::QueuedConnection);
        return;
    }
    // Until the file is complete a job waits for a good piece of new bytes: each job costs a
    // round trip through the pool.
    if (done || (!finishing && written - progress->done < MinJobBytes))
        return;
    QThreadPool *pool = jobPool ? jobPool : QThreadPool::globalInstance();
    auto *func = new Job(progress, written, pool);
    const std::shared_ptr<Progress> job = progress;
    connect(
        func, &ASyncFunc::runResult, this, [this, job](bool readable) { onJobDone(job, readable); },
        Qt::QueuedConnection);
    jobRunning = true;
    pool->start(new ASyncRun(func));
}

void GrowingFileDigest::onJobDone(const std::shared_ptr<Progress> &job, bool readable)
{
    if (job != progress)
        return;
    jobRunning = false;
    if (!readable)
        progress->failed = true;
    startJob();
}
