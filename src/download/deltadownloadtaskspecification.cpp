#include "download/deltadownloadtaskspecification.h"

#include "download/blockreceiver.h"
#include "download/mirrors.h"
#include "download/missingblocks.h"
#include "download/packedranges.h"
#include "download/rangesink.h"
#include "manifest/blockmatcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPromise>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

DeltaDownloadTaskSpecification::DeltaDownloadTaskSpecification(
    QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
    const QString &localPath, const QString &installedPath, const QByteArray &blockLine,
    QObject *parent, double progressRange)
    : TaskSpecification(parent, progressRange),
      manager(manager),
      mirrors(mirrors),
      remotePath(remotePath),
      installedPath(installedPath),
      blockLine(blockLine),
      output(localPath)
{
    connect(&scan, &QFutureWatcherBase::finished, this, &DeltaDownloadTaskSpecification::onScanned);
    connect(&copy, &QFutureWatcherBase::finished, this, &DeltaDownloadTaskSpecification::onCopied);
    connect(&copy, &QFutureWatcherBase::progressValueChanged, this,
            &DeltaDownloadTaskSpecification::onCopyProgress);
    connect(&digester, &GrowingFileDigest::ready, this,
            &DeltaDownloadTaskSpecification::onDigestReady);
}

DeltaDownloadTaskSpecification::~DeltaDownloadTaskSpecification()
{
    // Requests are dropped; the mirrors' slots are not given back, as the pool may be gone.
    qDeleteAll(fetches);
}

void DeltaDownloadTaskSpecification::execute()
{
    state = Running;
    QString problem;
    QString path;
    bool listRead = BlockList::fromLine(blockLine, &list, &path, &problem);
    GzipAccessPoints points;
    if (listRead && packed) {
        QString pointsPath;
        listRead = GzipAccessPoints::fromLine(pointsLine, &points, &pointsPath, &problem);
        if (listRead
            && (points.blocksPerPoint() != 1 || points.count() != list.count()
                || pointsPath != path)) {
            listRead = false;
            problem = tr("its access points are not one a block");
        }
        pointsLine = QByteArray();
    }
    // Read once: the line of a large file is megabytes, and a run is never repeated.
    blockLine = QByteArray();
    if (!listRead) {
        fail(tr("its block list is unusable: %1").arg(problem));
        return;
    }
    const int oldFd = SessionFile::openReadOnly(installedPath);
    if (oldFd < 0) {
        fail(tr("the installed file cannot be read"));
        return;
    }
    if (!output.create()) {
        ::close(oldFd);
        fail(SessionFile::diskErrorMessage(output.fileName(), output.error()));
        return;
    }
    // The scan and the copy get descriptors of their own: should this task be reset or deleted
    // while they run, they are abandoned, and must not touch what the task has closed.
    files = std::make_shared<Descriptors>();
    files->old = oldFd;
    files->output = ::fcntl(output.handle(), F_DUPFD_CLOEXEC, 0);
    if (files->output < 0) {
        fail(tr("the local file cannot be shared with the scan"));
        return;
    }
    receiver = std::make_unique<BlockReceiver>(list, &output);
    missing = std::make_unique<MissingBlocks>(list, receiver.get());
    matcher = std::make_shared<BlockMatcher>(list);
    // A range of a packed file is inflated after the bytes before it, which must be in the file
    // or the installed one by then.
    if (packed) {
        missing->setDictionarySize(PackedRanges::DictionarySize);
        packedRanges = std::make_unique<PackedRanges>(list, points, storedSize, matcher.get(),
                                                      receiver.get());
    }
    const std::shared_ptr<BlockMatcher> scanner = matcher;
    const std::shared_ptr<Descriptors> scanned = files;
    scan.setFuture(QtConcurrent::run(pool(), [scanner, scanned] {
        QString problem;
        scanner->scan(scanned->old, &problem);
        return problem;
    }));
}

QThreadPool *DeltaDownloadTaskSpecification::pool() const
{
    return scanPool ? scanPool : QThreadPool::globalInstance();
}

DeltaDownloadTaskSpecification::Descriptors::~Descriptors()
{
    if (old >= 0)
        ::close(old);
    if (output >= 0)
        ::close(output);
}

void DeltaDownloadTaskSpecification::onScanned()
{
    if (state != Running || !receiver)
        return;
    const QString problem = scan.result();
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }
    for (int block = 0; block < list.count(); ++block) {
        if (matcher->oldOffsetOf(block) != BlockMatcher::Missing)
            receiver->markPresent(block);
    }
    reused = matcher->reusedBytes();
    // The found blocks are copied in order on a pool thread while the others are fetched into
    // their places; the digest follows both through the file.
    if (::ftruncate(output.handle(), off_t(list.fileSize())) != 0) {
        fail(SessionFile::diskErrorMessage(output.fileName(), errno));
        return;
    }
    const qint64 toFetch = list.fileSize() - reused;
    const int share = list.fileSize() > 0 ? int(reused * 100 / list.fileSize()) : 100;
    emit message(tr("%1: %2 % reused from the installed file, %3 to fetch")
                     .arg(remotePath)
                     .arg(share)
                     .arg(tr("%1 KB").arg((toFetch + 999) / 1000)));
    startCopy();
    fetchMore();
}

bool DeltaDownloadTaskSpecification::inFile(int block) const
{
    return matcher->oldOffsetOf(block) != BlockMatcher::Missing
        ? list.offsetOf(block) + list.lengthOf(block) <= copiedUpTo
        : receiver->has(block);
}

void DeltaDownloadTaskSpecification::digestMore()
{
    while (digestedBlocks < list.count() && inFile(digestedBlocks))
        ++digestedBlocks;
    if (digestedBlocks < list.count()) {
        digester.grown(list.offsetOf(digestedBlocks));
        return;
    }
    if (!digestFinishing) {
        digestFinishing = true;
        digester.finish(list.fileSize());
    }
}

void DeltaDownloadTaskSpecification::startCopy()
{
    // The digest follows the copy through the file: the whole file is checked without being
    // read once more after it is complete.
    digester.setPool(pool());
    digester.setWithSha256(true);
    digester.start(output.fileName(), 0);
    const std::shared_ptr<BlockMatcher> copier = matcher;
    const std::shared_ptr<Descriptors> copied = files;
    copiedUpTo = 0;
    digestedBlocks = 0;
    digestFinishing = false;
    copy.setFuture(QtConcurrent::run(pool(), [copier, copied](QPromise<QString> &promise) {
        // In KiB, so that the progress of any file fits an int.
        promise.setProgressRange(0, int(copier->blockList().fileSize() / 1024));
        QString problem;
        copier->assemble(copied->old, copied->output, &problem, [&promise](qint64 complete) {
            promise.setProgressValue(int(complete / 1024));
        });
        promise.addResult(problem);
    }));
}

void DeltaDownloadTaskSpecification::onCopyProgress(int kilobytes)
{
    if (state != Running || !receiver)
        return;
    copiedUpTo = qMax(copiedUpTo, qint64(kilobytes) * 1024);
    digestMore();
}

void DeltaDownloadTaskSpecification::onCopied()
{
    if (state != Running || !receiver)
        return;
    const QString problem = copy.future().resultCount() > 0 ? copy.result() : tr("the copy ended");
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }
    copiedUpTo = list.fileSize();
    digestMore();
}

void DeltaDownloadTaskSpecification::onDigestReady(const QByteArray &md5, const QByteArray &sha256)
{
    if (state != Running || !receiver)
        return;
    if (md5.isEmpty()) {
        fail(tr("the file put together cannot be read back"));
        return;
    }
    digest = md5;
    strongDigest = sha256;
    output.close();
    files.reset();
    emit message(tr("Downloading %1 finished").arg(remotePath));
    finish();
}

void DeltaDownloadTaskSpecification::fetchMore()
{
    if (state != Running || !receiver)
        return;
    digestMore();
    if (receiver->missingCount() == 0)
        return;
    // A request may end, and with it the delta, while it is being started.
    while (receiver && fetches.size() < MaxRequests && startFetch()) { }
}

int DeltaDownloadTaskSpecification::pickMirror(FTPSiteAccessData *mirror)
{
    const int picked = mirrors->getRandomRangeMirror(*mirror, slowMirrors);
    return picked == Mirrors::AllMirrorsBusy && !slowMirrors.isEmpty()
        ? mirrors->getRandomRangeMirror(*mirror)
        : picked;
}

bool DeltaDownloadTaskSpecification::startFetch()
{
    FTPSiteAccessData mirror;
    switch (pickMirror(&mirror)) {
    case Mirrors::NoMirrorLeft:
        if (fetches.isEmpty())
            fail(tr("no mirror is left"));
        return false;
    case Mirrors::NoRangeMirror:
        if (fetches.isEmpty())
            fail(tr("no mirror left answers range requests"));
        return false;
    case Mirrors::AllMirrorsBusy:
        // Requests of this task under way wake it when they end; otherwise another transfer
        // must give a slot back first.
        if (fetches.isEmpty() && !waitingForSlot) {
            waitingForSlot = true;
            connect(manager, &QNetworkAccessManager::finished, this,
                    &DeltaDownloadTaskSpecification::onOtherTransferFinished, Qt::QueuedConnection);
        }
        return false;
    default:
        break;
    }
    // Until a mirror has answered several ranges correctly, one request at a time asks it for
    // a few: a wrong answer then wastes little.
    const bool several = mirror.ranges == FTPSiteAccessData::MultipleRanges
        && (mirror.severalRangesShown || !probing.contains(mirror.name));
    const int maxRanges
        = !several ? 1 : (mirror.severalRangesShown ? MaxRangesPerRequest : ProbeRanges);
    const auto take = [&] {
        return missing->take(maxRanges, several ? 0 : SingleRangeMergeGap, MinRequestBytes,
                             MaxRequests);
    };
    QList<QPair<qint64, qint64>> ranges = take();
    if (ranges.isEmpty() && takeOver(mirror.name))
        ranges = take();
    if (ranges.isEmpty()) {
        mirrors->releaseMirror(mirror.name);
        return false;
    }
    if (ranges.size() > 1 && !mirror.severalRangesShown)
        probing.insert(mirror.name);
    std::unique_ptr<RangeSink> sink;
    QList<QPair<qint64, qint64>> stored = ranges;
    if (packed) {
        QList<PackedRangeSink::Range> parts;
        packedRanges->plan(ranges, &stored, &parts);
        sink = std::make_unique<PackedRangeSink>(
            receiver.get(), parts, [this](qint64 offset, QByteArray *bytes, QString *why) {
                return packedRanges->readDictionary(offset, files->old, output.handle(), bytes,
                                                    why);
            });
    } else {
        sink = std::make_unique<PlainRangeSink>(receiver.get(), ranges);
    }
    auto *fetch = new RangeFetch(manager, mirror, remotePath, stored,
                                 packed ? storedSize : list.fileSize(), std::move(sink), this);
    askedBlocks.insert(fetch, ranges);
    connect(fetch, &RangeFetch::ended, this, &DeltaDownloadTaskSpecification::onFetchEnded);
    connect(fetch, &RangeFetch::answered, mirrors, &Mirrors::noteProtocol);
    fetches.append(fetch);
    qint64 asked = 0;
    for (const auto &range : std::as_const(stored))
        asked += range.second;
    paces.insert(fetch, RangePace(asked, mirror.timeoutTicks, RangePace::Rule()));
    fetch->start();
    return true;
}

void DeltaDownloadTaskSpecification::onOtherTransferFinished()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &DeltaDownloadTaskSpecification::onOtherTransferFinished);
    waitingForSlot = false;
    fetchMore();
}

bool DeltaDownloadTaskSpecification::takeOver(const QString &name)
{
    // Once every missing block is asked for, a crawling request would hold the file back; a
    // mirror idle here that has shown itself much faster takes its ranges over, uncharged.
    RangeFetch *slowest = nullptr;
    for (RangeFetch *fetch : std::as_const(fetches)) {
        if (fetch->mirror().name == name)
            return false;
        const RangePace &pace = paces[fetch];
        if (pace.ticks() >= PaceTicks && (!slowest || pace.perTick() < paces[slowest].perTick()))
            slowest = fetch;
    }
    if (!slowest || shownPace.value(name) <= 2 * paces[slowest].perTick())
        return false;
    const QString slower = slowest->mirror().name;
    disconnect(slowest, nullptr, this, nullptr);
    slowest->abort();
    forget(slowest);
    slowMirrors.insert(slower);
    emit message(tr("%1: %2 takes over the ranges of the slower %3").arg(remotePath, name, slower));
    return true;
}

RangePace DeltaDownloadTaskSpecification::forget(RangeFetch *fetch)
{
    fetches.removeOne(fetch);
    RangePace pace = paces.take(fetch);
    fetch->deleteLater();
    const qint64 arrived = fetch->takeArrivedBytes();
    arrivedSinceTick += arrived;
    pace.add(arrived);
    missing->giveBack(askedBlocks.take(fetch));
    const QString name = fetch->mirror().name;
    mirrors->releaseMirror(name);
    if (fetch->ranges().size() > 1 && !fetch->mirror().severalRangesShown)
        probing.remove(name);
    return pace;
}

void DeltaDownloadTaskSpecification::onFetchEnded(RangeFetch *fetch, RangeFetch::Outcome outcome)
{
    if (!fetches.contains(fetch))
        return;
    const RangePace pace = forget(fetch);
    const QString name = fetch->mirror().name;
    if (outcome == RangeFetch::Complete) {
        // What it managed, for judging whether it should take a slower mirror's ranges over.
        shownPace.insert(name, pace.perTick());
        if (fetch->ranges().size() > 1)
            mirrors->confirmSeveralRanges(name);
    }
    setProgressCoalesced(double(receiver->receivedBytes())
                         / double(qMax(qint64(1), list.fileSize() - reused)));

    switch (outcome) {
    case RangeFetch::Complete:
        break;
    case RangeFetch::Incomplete:
        emit message(tr("%1: ranges from %2 broke off (%3), fetching the rest again")
                         .arg(remotePath, name, fetch->explanation()));
        mirrors->addMirrorError(name);
        break;
    case RangeFetch::Refused:
        if (mirrors->requestRefused(fetch->mirror(), fetch->connectionEnded()))
            emit message(tr("%1: mirror %2 refused the request (%3)")
                             .arg(remotePath, name, fetch->explanation()));
        break;
    case RangeFetch::MultipleRefused:
        emit message(tr("%1: mirror %2 cannot send several ranges at once (%3), asking it for "
                        "one at a time")
                         .arg(remotePath, name, fetch->explanation()));
        mirrors->lowerRangeSupport(name, FTPSiteAccessData::SingleRanges);
        break;
    case RangeFetch::RangesRefused:
    case RangeFetch::BadAnswer:
    case RangeFetch::WrongBlock:
        emit message(fetch->holdAgainstMirror(mirrors, remotePath, outcome));
        break;
    case RangeFetch::WriteFailed:
        fail(output.error() != 0 ? SessionFile::diskErrorMessage(output.fileName(), output.error())
                                 : fetch->explanation());
        return;
    }
    fetchMore();
}

void DeltaDownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                              quint64 &speed, bool &downloading)
{
    const qint64 done = reused + (receiver ? receiver->receivedBytes() : 0);
    // A packed file counts in stored bytes, as its download and the list's total do.
    downloadTotal = quint64(packed ? storedSize : list.fileSize());
    downloadDone = packed && list.fileSize() > 0
        ? quint64(double(done) / double(list.fileSize()) * double(storedSize))
        : quint64(done);
    qint64 arrived = arrivedSinceTick;
    arrivedSinceTick = 0;
    const QList<RangeFetch *> running = fetches;
    for (RangeFetch *fetch : running) {
        // An earlier one's stall may have ended the delta and dropped the others.
        if (!fetches.contains(fetch))
            continue;
        const qint64 bytes = fetch->takeArrivedBytes();
        arrived += bytes;
        RangePace &pace = paces[fetch];
        const QString tooSlow = pace.tick(bytes);
        if (tooSlow.isEmpty() && fetch->endIfUnsent(pace.idleTicks(), mirrors))
            continue;
        // As if the request had broken off: charged, its blocks fetched elsewhere if possible.
        if (!tooSlow.isEmpty()) {
            slowMirrors.insert(fetch->mirror().name);
            fetch->giveUp(tooSlow);
        }
    }
    speed = quint64(arrived);
    downloading = !fetches.isEmpty();
    // A mirror that has shown its pace meanwhile may now take a slow one's ranges over.
    if (!fetches.isEmpty())
        fetchMore();
}

void DeltaDownloadTaskSpecification::stop()
{
    if (waitingForSlot) {
        disconnect(manager, &QNetworkAccessManager::finished, this,
                   &DeltaDownloadTaskSpecification::onOtherTransferFinished);
        waitingForSlot = false;
    }
    for (RangeFetch *fetch : std::as_const(fetches)) {
        fetch->abort();
        mirrors->releaseMirror(fetch->mirror().name);
        fetch->deleteLater();
    }
    fetches.clear();
    paces.clear();
    shownPace.clear();
    slowMirrors.clear();
    askedBlocks.clear();
    probing.clear();
    // A scan or copy still running is abandoned: it works on descriptors of its own.
    scan.setFuture(QFuture<QString>());
    copy.setFuture(QFuture<QString>());
    digester.stop();
    files.reset();
}

void DeltaDownloadTaskSpecification::fail(const QString &reason)
{
    stop();
    output.remove();
    missing.reset();
    packedRanges.reset();
    receiver.reset();
    emit deltaFailed(reason);
}

void DeltaDownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    stop();
    output.remove();
    missing.reset();
    packedRanges.reset();
    receiver.reset();
    userCancel();
}

void DeltaDownloadTaskSpecification::reset()
{
    stop();
    if (state == Running)
        output.remove();
    output.close();
    missing.reset();
    packedRanges.reset();
    receiver.reset();
    reused = 0;
    digest.clear();
    strongDigest.clear();
    arrivedSinceTick = 0;
    TaskSpecification::reset();
}
