#include "download/segmenteddownloadtaskspecification.h"

#include "download/blockreceiver.h"
#include "download/mirrors.h"
#include "download/segmentplan.h"
#include "download/segmentsink.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThreadPool>
#include <QtConcurrent>

#include <unistd.h>

namespace {

// More than a plan of any real file takes: lines beyond it are not the updater's.
constexpr qint64 MaxControlBytes = 1024 * 1024;

} // namespace

SegmentedDownloadTaskSpecification::SegmentedDownloadTaskSpecification(
    QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
    const QString &localPath, qint64 size, QObject *parent, double progressRange)
    : TaskSpecification(parent, progressRange),
      manager(manager),
      mirrors(mirrors),
      remotePath(remotePath),
      output(localPath),
      size(size)
{
    connect(&digester, &GrowingFileDigest::ready, this,
            &SegmentedDownloadTaskSpecification::onDigestReady);
    connect(&keptCheck, &QFutureWatcherBase::finished, this,
            &SegmentedDownloadTaskSpecification::onKeptChecked);
}

SegmentedDownloadTaskSpecification::~SegmentedDownloadTaskSpecification()
{
    // The pool may be gone already; the requests only drop their replies.
    for (auto it = requests.cbegin(); it != requests.cend(); ++it) {
        disconnect(it.key(), nullptr, this, nullptr);
        it.key()->abort();
    }
}

QString SegmentedDownloadTaskSpecification::controlPath(const QString &localPath)
{
    // "::" separates a manifest entry's fields: no product file has such a name.
    return localPath + QLatin1String("::segments");
}

void SegmentedDownloadTaskSpecification::setSlowTransferLimit(qint64 bytesPerTick, int windowTicks)
{
    paceRule.minBytesPerTick = bytesPerTick;
    paceRule.windowTicks = windowTicks;
}

bool SegmentedDownloadTaskSpecification::wasResumed() const
{
    // A wrong digest cannot be blamed on one mirror when every block matched the list (the
    // release disagrees with itself), when bytes of an earlier answer or run are in the file,
    // or when several mirrors sent bytes.
    return receiver || keptBytes || senders.size() > 1;
}

QString SegmentedDownloadTaskSpecification::servingMirrorName() const
{
    return senders.size() == 1 && !keptBytes ? *senders.cbegin() : QString();
}

void SegmentedDownloadTaskSpecification::execute()
{
    digest.clear();
    sha256.clear();
    senders.clear();
    keptBytes = false;
    digestFinishing = false;
    emit message(tr("Downloading %1").arg(remotePath));
    state = Running;

    receiver.reset();
    list = BlockList();
    if (!blockLine.isEmpty()) {
        QString path;
        QString problem;
        if (!BlockList::fromLine(blockLine, &list, &path, &problem) || list.fileSize() != size) {
            emit message(tr("%1: its block list is unusable (%2), the file is checked as a whole")
                             .arg(remotePath, problem.isEmpty() ? tr("another size") : problem));
            list = BlockList();
        }
    }
    const bool checked = list.fileSize() == size && size > 0;
    plan
        = std::make_unique<SegmentPlan>(size, checked ? list.blockSize() : Alignment,
                                        qMax(minimumSplit, checked ? list.blockSize() : Alignment));
    if (!openFile())
        return;
    if (checked) {
        receiver = std::make_unique<BlockReceiver>(list, &output);
        if (keptBytes) {
            checkKeptBytes();
            return;
        }
    }
    startFetching();
}

void SegmentedDownloadTaskSpecification::checkKeptBytes()
{
    // Bytes that did not come through the receiver were never checked block by block: a wrong
    // one would show only in the file's digest, and cost the whole file again without anyone
    // to blame. A whole download also stops anywhere, and a request starting inside a block
    // could not check that block. So the blocks are read back (from the page cache, mostly)
    // before anything is fetched, off the main thread: after an earlier run they may be GiBs.
    checkingKept = true;
    const QString path = output.fileName();
    const BlockList blocks = list;
    const QList<QPair<qint64, qint64>> ranges = plan->held();
    keptCheck.setFuture(QtConcurrent::run(
        checkPool ? checkPool : QThreadPool::globalInstance(), [path, blocks, ranges] {
            QList<qint64> proven;
            // Never through a link planted at the name.
            QFile file;
            const bool readable = SessionFile::openForReading(file, path);
            for (const auto &[start, filled] : ranges)
                proven.append(readable ? blocks.provenUpTo(&file, start, filled) : start);
            return proven;
        }));
}

void SegmentedDownloadTaskSpecification::onKeptChecked()
{
    // A cancel or a reset meanwhile has dropped the run the check was for.
    if (!checkingKept)
        return;
    checkingKept = false;
    const QList<qint64> proven = keptCheck.result();
    const QList<QPair<qint64, qint64>> ranges = plan->held();
    const qint64 blockSize = list.blockSize();
    int wrong = -1;
    for (qsizetype i = 0; i < ranges.size(); ++i) {
        const auto [start, filled] = ranges.at(i);
        const qint64 upTo = qBound(start, proven.value(i, start), filled);
        // Short of its last whole block only where a block failed; a block cut short at the
        // end of the bytes is merely fetched again.
        const qint64 whole = filled == size ? filled : filled - filled % blockSize;
        if (wrong < 0 && upTo < whole)
            wrong = int(upTo / blockSize);
        // Requests start at the filled end, so the receiver never sees these blocks again.
        plan->at(start).filled = upTo;
    }
    if (wrong >= 0 && !keptFrom.isEmpty()) {
        RangeFetch::chargeWrongBlock(mirrors, keptFrom);
        emit message(tr("%1: block %2 that mirror %3 sent before the split failed its check, not "
                        "asking it for ranges again")
                         .arg(remotePath)
                         .arg(wrong)
                         .arg(keptFrom));
    } else if (wrong >= 0) {
        emit message(tr("%1: block %2 kept from an earlier run failed its check, fetching it again")
                         .arg(remotePath)
                         .arg(wrong));
    }
    startFetching();
}

void SegmentedDownloadTaskSpecification::startFetching()
{
    digestedUpTo = plan->prefix();
    digester.start(output.fileName(), digestedUpTo);
    setProgress(double(plan->doneBytes()) / double(qMax(qint64(1), size)));
    saveControl();
    if (plan->complete()) {
        finishFile();
        return;
    }
    fetchMore();
}

bool SegmentedDownloadTaskSpecification::openFile()
{
    // Anything at the name that is not a file of ours goes here; what is left may be continued.
    const qint64 kept = output.keptSize();
    QByteArray lines;
    QFile control;
    if (SessionFile::openForReading(control, controlPath(output.fileName())))
        lines = control.read(MaxControlBytes);
    control.close();
    if (kept > 0) {
        // Lines that claim more than the file holds are not about this file.
        if (!lines.isEmpty())
            keptBytes = plan->restore(lines) && plan->extent() <= kept;
        else if (kept < size) {
            // The first bytes of a whole download.
            plan->restorePrefix(kept);
            keptBytes = true;
        }
        if (keptBytes && output.openToWrite() != kept)
            keptBytes = false;
    }
    if (keptBytes) {
        emit message(
            tr("Resuming %1 with %2 KB of it").arg(remotePath).arg(plan->doneBytes() / 1000));
        return true;
    }
    plan->restorePrefix(0);
    if (output.create())
        return true;
    if (SessionFile::isDiskError(output.error())) {
        failLocally();
        return false;
    }
    emit error(tr("Unable to create file %1 for saving").arg(output.fileName()));
    errorCancel();
    return false;
}

QSet<QString> SegmentedDownloadTaskSpecification::busyMirrors() const
{
    QSet<QString> busy;
    for (auto it = requests.cbegin(); it != requests.cend(); ++it)
        busy.insert(it.key()->mirror().name);
    return busy;
}

void SegmentedDownloadTaskSpecification::fetchMore()
{
    // A request may end, and with it the run, while it is being started.
    while (state == Running && plan && !digestFinishing && !checkingKept && startRequest()) { }
}

bool SegmentedDownloadTaskSpecification::startRequest()
{
    FTPSiteAccessData mirror;
    // One request a mirror: a second one to the same mirror would share its bandwidth, not add
    // to it, and take a slot another file may use.
    switch (mirrors->getRandomRangeMirror(mirror, busyMirrors())) {
    case Mirrors::NoMirrorLeft:
        if (requests.isEmpty()) {
            // The pool has told the log itself. The bytes stay for the next run.
            keepForNextRun();
            errorCancel();
        }
        return false;
    case Mirrors::NoRangeMirror:
        if (requests.isEmpty()) {
            // What a whole download can take from here: the file's first bytes, without lines.
            dropRequests();
            digester.stop();
            const qint64 prefix = plan->prefix();
            if (::ftruncate(output.handle(), off_t(prefix)) != 0 || prefix == 0)
                output.remove();
            output.close();
            QFile::remove(controlPath(output.fileName()));
            plan.reset();
            emit wholeFileNeeded(tr("no mirror left answers range requests"));
        }
        return false;
    case Mirrors::AllMirrorsBusy:
        // A mirror busy with other files now may join once one of their transfers ends: a
        // large file must not stay with the one mirror that happened to be free at its start.
        if (!waitingForSlot) {
            waitingForSlot = true;
            connect(manager, &QNetworkAccessManager::finished, this,
                    &SegmentedDownloadTaskSpecification::onOtherTransferFinished,
                    Qt::QueuedConnection);
        }
        return false;
    default:
        break;
    }
    qint64 start = plan->take();
    if (start < 0)
        start = takeOver(mirror.name);
    if (start < 0) {
        mirrors->releaseMirror(mirror.name);
        return false;
    }
    SegmentPlan::Segment &segment = plan->at(start);
    emit message(tr("%1: bytes %2 to %3 from %4")
                     .arg(remotePath)
                     .arg(segment.filled)
                     .arg(segment.end - 1)
                     .arg(mirror.name));
    auto *fetch = new RangeFetch(
        manager, mirror, remotePath, {{segment.filled, segment.end - segment.filled}}, size,
        std::make_unique<SegmentSink>(&output, receiver.get(), &segment), this);
    Request request;
    request.start = start;
    request.pace = RangePace(segment.end - segment.filled, mirror.timeoutTicks, paceRule);
    requests.insert(fetch, request);
    connect(fetch, &RangeFetch::ended, this, &SegmentedDownloadTaskSpecification::onRequestEnded);
    connect(fetch, &RangeFetch::answered, mirrors, &Mirrors::noteProtocol);
    fetch->start();
    return true;
}

qint64 SegmentedDownloadTaskSpecification::takeOver(const QString &name)
{
    // Once nothing is worth splitting, the slowest mirror's last segment would hold the file
    // back: a mirror that has shown itself much faster takes it over, without charging it.
    RangeFetch *holder = nullptr;
    qint64 most = 0;
    for (auto it = requests.cbegin(); it != requests.cend(); ++it) {
        const SegmentPlan::Segment &segment = plan->at(it->start);
        if (segment.end - segment.filled > most) {
            most = segment.end - segment.filled;
            holder = it.key();
        }
    }
    if (!holder || most < minimumSplit / 16)
        return -1;
    // A mirror that has gone silent is left to the stall rule, which charges it.
    const Request &held = requests[holder];
    if (held.pace.ticks() < PaceTicks || held.pace.idleTicks() > 0
        || shownPace.value(name) <= 2 * held.pace.perTick())
        return -1;
    const QString slower = holder->mirror().name;
    disconnect(holder, nullptr, this, nullptr);
    holder->abort();
    forget(holder);
    emit message(tr("%1: %2 takes over the rest of the segment from the slower %3")
                     .arg(remotePath, name, slower));
    return plan->take();
}

SegmentedDownloadTaskSpecification::Request
SegmentedDownloadTaskSpecification::forget(RangeFetch *fetch)
{
    Request request = requests.take(fetch);
    fetch->deleteLater();
    const qint64 arrived = fetch->takeArrivedBytes();
    arrivedSinceTick += arrived;
    request.pace.add(arrived);
    plan->release(request.start);
    const QString name = fetch->mirror().name;
    mirrors->releaseMirror(name);
    if (plan->at(request.start).filled > fetch->ranges().constFirst().first)
        senders.insert(name);
    return request;
}

void SegmentedDownloadTaskSpecification::onOtherTransferFinished()
{
    disconnect(manager, &QNetworkAccessManager::finished, this,
               &SegmentedDownloadTaskSpecification::onOtherTransferFinished);
    waitingForSlot = false;
    fetchMore();
}

void SegmentedDownloadTaskSpecification::onRequestEnded(RangeFetch *fetch,
                                                        RangeFetch::Outcome outcome)
{
    if (!requests.contains(fetch))
        return;
    const Request request = forget(fetch);
    const QString name = fetch->mirror().name;

    switch (outcome) {
    case RangeFetch::Complete:
        // What it managed, for judging whether it should take a slower mirror's segment over.
        shownPace.insert(name, request.pace.perTick());
        break;
    case RangeFetch::Incomplete:
        emit message(tr("%1: the segment from %2 broke off (%3), fetching the rest again")
                         .arg(remotePath, name, fetch->explanation()));
        mirrors->addMirrorError(name);
        break;
    case RangeFetch::Refused:
        if (mirrors->requestRefused(fetch->mirror(), fetch->connectionEnded()))
            emit message(tr("%1: mirror %2 refused the request (%3)")
                             .arg(remotePath, name, fetch->explanation()));
        break;
    case RangeFetch::MultipleRefused:
        // Never asked: a segment is a single range.
    case RangeFetch::RangesRefused:
    case RangeFetch::BadAnswer:
    case RangeFetch::WrongBlock:
        emit message(fetch->holdAgainstMirror(
            mirrors, remotePath,
            outcome == RangeFetch::MultipleRefused ? RangeFetch::RangesRefused : outcome));
        break;
    case RangeFetch::WriteFailed:
        failLocally();
        return;
    }
    saveControl();
    followWithDigest();
    if (plan->complete() && requests.isEmpty()) {
        finishFile();
        return;
    }
    fetchMore();
}

void SegmentedDownloadTaskSpecification::finishFile()
{
    output.close();
    digestFinishing = true;
    digester.finish(size);
}

void SegmentedDownloadTaskSpecification::keepForNextRun()
{
    checkingKept = false;
    dropRequests();
    digester.stop();
    if (output.isOpen())
        saveControl();
    output.close();
}

void SegmentedDownloadTaskSpecification::followWithDigest()
{
    const qint64 prefix = plan ? plan->prefix() : 0;
    if (prefix <= digestedUpTo || digestFinishing)
        return;
    digestedUpTo = prefix;
    digester.grown(prefix);
}

void SegmentedDownloadTaskSpecification::onDigestReady(const QByteArray &md5,
                                                       const QByteArray &strong)
{
    if (state != Running || !digestFinishing)
        return;
    digest = md5;
    sha256 = strong;
    QFile::remove(controlPath(output.fileName()));
    savedControl.clear();
    emit message(tr("Downloading %1 finished").arg(remotePath));
    finish();
}

void SegmentedDownloadTaskSpecification::saveControl()
{
    if (!plan)
        return;
    const QByteArray lines = plan->save();
    if (lines == savedControl)
        return;
    // Written aside and renamed over, so that a crash leaves the old lines or the new ones. Not
    // synced: the file's bytes are not either, and its digest is what decides.
    const QString path = controlPath(output.fileName());
    QFile fresh(path + QLatin1String(".new"));
    if (!fresh.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || fresh.write(lines) != lines.size() || !fresh.flush()) {
        fresh.close();
        fresh.remove();
        return;
    }
    fresh.close();
    if (::rename(QFile::encodeName(fresh.fileName()).constData(),
                 QFile::encodeName(path).constData())
        == 0)
        savedControl = lines;
}

void SegmentedDownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                                  quint64 &speed, bool &downloading)
{
    downloadTotal = quint64(qMax(qint64(0), size));
    downloadDone = plan ? quint64(plan->doneBytes()) : 0;
    qint64 arrived = arrivedSinceTick;
    arrivedSinceTick = 0;
    const QList<RangeFetch *> running = requests.keys();
    for (RangeFetch *fetch : running) {
        // An earlier one's end may have ended the run and dropped the others.
        const auto it = requests.find(fetch);
        if (it == requests.end())
            continue;
        const qint64 bytes = fetch->takeArrivedBytes();
        arrived += bytes;
        const QString tooSlow = it->pace.tick(bytes);
        if (tooSlow.isEmpty() && fetch->endIfUnsent(it->pace.idleTicks(), mirrors))
            continue;
        if (!tooSlow.isEmpty())
            fetch->giveUp(tooSlow);
    }
    speed = quint64(arrived);
    downloading = !requests.isEmpty();
    if (state == Running && plan && !digestFinishing && !checkingKept) {
        followWithDigest();
        saveControl();
        setProgress(double(plan->doneBytes()) / double(qMax(qint64(1), size)));
        // A mirror that has shown its pace meanwhile may now take a slow one's segment over.
        fetchMore();
    }
}

void SegmentedDownloadTaskSpecification::dropRequests()
{
    for (auto it = requests.cbegin(); it != requests.cend(); ++it) {
        RangeFetch *fetch = it.key();
        disconnect(fetch, nullptr, this, nullptr);
        fetch->abort();
        fetch->deleteLater();
        mirrors->releaseMirror(fetch->mirror().name);
        if (plan)
            plan->release(it->start);
    }
    requests.clear();
    if (waitingForSlot) {
        waitingForSlot = false;
        disconnect(manager, &QNetworkAccessManager::finished, this,
                   &SegmentedDownloadTaskSpecification::onOtherTransferFinished);
    }
}

void SegmentedDownloadTaskSpecification::failLocally()
{
    // A full or failing disk: no mirror is to blame. The bytes written stay for the next run.
    const QString text = SessionFile::diskErrorMessage(output.fileName(), output.error());
    keepForNextRun();
    emit error(text);
    errorCancel();
}

void SegmentedDownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    keepForNextRun();
    userCancel();
}

void SegmentedDownloadTaskSpecification::reset()
{
    checkingKept = false;
    dropRequests();
    digester.stop();
    if (output.isOpen()) {
        output.remove();
        QFile::remove(controlPath(output.fileName()));
    }
    plan.reset();
    receiver.reset();
    savedControl.clear();
    digestFinishing = false;
    TaskSpecification::reset();
}
