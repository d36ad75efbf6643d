#include "download/downloadtaskspecification.h"

#include "download/mirrorconnection.h"
#include "download/mirrors.h"
#include "download/rangerequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

#include <limits>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     Mirrors *mirrors, const QString &remotePath,
                                                     const QString &localPath, qint64 expectedSize,
                                                     QObject *parent, double progressRange)
    : TaskSpecification(parent, progressRange),
      manager(manager),
      mirrors(mirrors),
      remotePath(remotePath),
      file(localPath),
      expectedSize(expectedSize),
      initialExpectedSize(expectedSize)
{
    connect(&digester, &GrowingFileDigest::ready, this, &DownloadTaskSpecification::onDigestReady);
    unsentCheck.setSingleShot(true);
    connect(&unsentCheck, &QTimer::timeout, this, [this] {
        if (state == Running && reply && !answerTaken
            && this->mirrors->waitsOnEndedConnection(mirror, requestLeft))
            retryRefused(MirrorConnection::ConnectionEnded);
    });
    // Queued: the pool tells while a refusal of another download is being handled.
    if (mirrors)
        connect(mirrors, &Mirrors::connectionEnded, this,
                &DownloadTaskSpecification::onConnectionEnded, Qt::QueuedConnection);
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    // The pool and the manager may be gone already (they are older siblings in the engine), so
    // neither is touched here; a reply that still exists proves its manager does too.
    if (reply) {
        QNetworkReply *outstanding = reply;
        reply = nullptr;
        disconnect(outstanding, nullptr, this, nullptr);
        RangeRequest::abandon(outstanding);
    }
}

void DownloadTaskSpecification::setUnknownSizeLimit(qint64 maxBytes)
{
    unknownSizeCap = maxBytes;
}

void DownloadTaskSpecification::setSlowTransferLimit(qint64 bytesPerTick, int windowTicks)
{
    slowWatch.setLimit(bytesPerTick, windowTicks);
}

void DownloadTaskSpecification::execute()
{
    servingMirror.clear();
    resumed = false;
    digest.clear();
    sha256.clear();
    failedAttempts = 0;
    notFoundAnswers = 0;
    failedMirrors = failedBeforeRun;
    emit message(tr("Downloading %1").arg(remotePath));
    state = Running;
    takePartialFile();
    startDownload();
}

bool DownloadTaskSpecification::canResume() const
{
    // Without a size of its own the task could not tell the rest it asks for from a whole file;
    // the bytes of a compressed body are not the file's.
    return resumable && initialExpectedSize > 0 && !compressedFirst;
}

void DownloadTaskSpecification::takePartialFile()
{
    // What an earlier run left: a cancelled or killed run keeps its partial files. Whether
    // these bytes are the start of this file only the digest over the whole can tell.
    if (!canResume())
        return;
    // Only a regular file of ours with no other name is continued; anything else planted at the
    // name is removed here.
    const qint64 kept = file.keptSize();
    if (kept <= 0 || kept >= initialExpectedSize)
        return;
    bytesReceived = kept;
    lastTickBytes = bytesReceived;
    setProgress(double(bytesReceived) / double(initialExpectedSize));
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal,
                                         quint64 &speed, bool &downloading)
{
    downloadDone = quint64(bytesReceived);
    downloadTotal = expectedSize > 0 ? quint64(expectedSize) : 0;
    speed = quint64(qMax<qint64>(0, bytesReceived - lastTickBytes));
    lastTickBytes = bytesReceived;

    if (state != Running || !reply)
        return;
    ++idleTicks;
    if (!answerTaken && idleTicks >= MirrorConnection::UnsentTicks
        && mirrors->waitsOnEndedConnection(mirror, requestLeft)) {
        retryRefused(MirrorConnection::ConnectionEnded);
        return;
    }
    if (idleTicks > mirror.timeoutTicks) {
        if (!answerTaken && mirrors->priorKnowledgeUnanswered(mirror)) {
            retryRefused(MirrorConnection::Answered);
            return;
        }
        // Stuck on a connection replaced since, which the server may have ended unseen: no
        // fault of the mirror's, and the next request goes over another connection.
        if (!answerTaken && mirrors->connectionReplaced(mirror)) {
            retryRefused(MirrorConnection::ConnectionEnded);
            return;
        }
        errorRetry(tr("file %1 timed out on mirror %2").arg(remotePath, mirror.name), KeepPartial);
        return;
    }
    if (slowWatch.tick(bytesReceived)) {
        errorRetry(tr("file %1 is too slow on mirror %2").arg(remotePath, mirror.name),
                   KeepPartial);
        return;
    }
    downloading = true;
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    resetDownload(KeepPartial);
    userCancel();
}

QString DownloadTaskSpecification::handOver()
{
    if (state != Running)
        return QString();
    const QString sender
        = reply && requestOffset == 0 && bytesReceived > 0 ? mirror.name : QString();
    resetDownload(KeepPartial);
    return sender;
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(tr("Downloading %1 finished").arg(remotePath));
    finish();
}

void DownloadTaskSpecification::onDigestReady(const QByteArray &fileDigest,
                                              const QByteArray &fileSha256)
{
    if (state != Running)
        return;
    digest = fileDigest;
    sha256 = fileSha256;
    downloadFinished();
}

void DownloadTaskSpecification::setAttemptLimit(int attempts, const QSet<QString> &failedBefore)
{
    attemptLimit = attempts;
    failedBeforeRun = failedBefore;
}

void DownloadTaskSpecification::startDownload()
{
    const int picked = attemptLimit > 0 ? mirrors->getRandomMirror(mirror, failedMirrors)
                                        : mirrors->getRandomMirror(mirror);
    switch (picked) {
    case Mirrors::NoMirrorLeft:
        // The pool has told the log itself, once per run.
        errorCancel();
        return;
    case Mirrors::AllMirrorsBusy:
        if (attemptLimit > 0 && !mirrors->hasMirrorBesides(failedMirrors)) {
            errorCancel();
            return;
        }
        // Queued: the transfer that ends gives its slot back before this task asks again.
        disconnect(manager, nullptr, this, nullptr);
        connect(manager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished, Qt::QueuedConnection);
        return;
    default:
        break;
    }
    sendRequest();
}

void DownloadTaskSpecification::sendRequest(FileUse use)
{
    if (use == OpenFile && !openFile()) {
        if (SessionFile::isDiskError(file.error())) {
            failLocally(file.error());
            return;
        }
        emit error(tr("Unable to create file %1 for saving").arg(file.fileName()));
        releaseHeldMirror();
        errorCancel();
        return;
    }
    if (requestOffset > 0) {
        emit message(tr("Resuming %1 at %2 KB from %3")
                         .arg(remotePath)
                         .arg(requestOffset / 1000)
                         .arg(mirror.name));
    }

    answerTaken = false;
    requestCompressed = compressedFirst && !mirror.lacksCompressedMetadata;
    QNetworkRequest request = RangeRequest::make(requestUrl(), requestOffset, mirror);
    if (requestCompressed) {
        gzip.start(bodyLimit() > 0 ? bodyLimit() : std::numeric_limits<qint64>::max());
        compressedBytes = 0;
        // The bytes as stored: a server that labels the file with its encoding must not have
        // them inflated by the manager instead of with the bound.
        request.setRawHeader("Accept-Encoding", "identity");
    }
    reply = manager->get(request);
    if (!reply) {
        emit error(tr("Download failed to initialize"));
        file.close();
        // Resumed bytes stay for the next run, as after any other end without the file.
        if (requestOffset == 0)
            file.remove();
        releaseHeldMirror();
        errorCancel();
        return;
    }
    // Unbounded by default: a network faster than the disk would pile the body up in memory.
    reply->setReadBufferSize(ReadBufferSize);
    if (!reply->isRunning()) {
        errorRetry(tr("%1 from mirror %2: %3").arg(remotePath, mirror.name, reply->errorString()),
                   KeepPartial);
        return;
    }
    slowWatch.restart(bytesReceived);
    requestLeft = false;
    connect(reply, &QNetworkReply::requestSent, this, [this] { requestLeft = true; });
    // Over a connection that has answered, a request leaves at once: one that has not after a
    // moment is queued on a connection the server ended without refusing anything (it had
    // answered all it took), and the tick would find it only a second or two later.
    unsentCheck.start(UnsentLimitMs);
    connect(reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *)
{
    disconnect(manager, nullptr, this, nullptr);
    // A wake-up posted before this task was cancelled, reset or given a reply is stale.
    if (state != Running || reply)
        return;
    startDownload();
}

bool DownloadTaskSpecification::openFile()
{
    requestOffset = canResume() && bytesReceived < initialExpectedSize ? bytesReceived : 0;
    if (requestOffset > 0) {
        // The file must still hold exactly the bytes counted, or the rest would not fit them.
        if (file.openToAppend(requestOffset)) {
            // The bytes kept are digested from disk while the rest arrives.
            digester.start(file.fileName(), requestOffset);
            return true;
        }
        file.close();
        requestOffset = 0;
    }
    bytesReceived = 0;
    resumed = false;
    setProgress(0.0);
    if (!file.create())
        return false;
    digester.start(file.fileName());
    return true;
}

bool DownloadTaskSpecification::takeAnswer()
{
    if (answerTaken)
        return true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0)
        mirrors->noteProtocol(mirror.name,
                              reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool(),
                              mirror.connection);
    switch (RangeRequest::judge(status, reply->rawHeader("Content-Range"), requestOffset,
                                initialExpectedSize)) {
    case RangeRequest::AppendToFile:
        resumed = true;
        break;
    case RangeRequest::TakeWhole:
        if (requestOffset > 0) {
            // The mirror sends the whole file instead of the rest: take it from the start.
            if (!file.truncate()) {
                failLocally(file.error());
                return false;
            }
            emit message(tr("%1 sent the whole file instead of the rest").arg(remoteUrl()));
            bytesReceived = 0;
            requestOffset = 0;
            resumed = false;
            digester.start(file.fileName());
            slowWatch.restart(0);
            setProgress(0.0);
        }
        break;
    case RangeRequest::RestartFromZero: {
        // Not the fault of the bytes kept, nor provably the mirror's: ask for the whole file,
        // which a plain request gets from any working mirror.
        const QString explanation = tr("%1 did not send the rest from byte %2, starting over")
                                        .arg(remoteUrl())
                                        .arg(requestOffset);
        resetDownload();
        emit message(explanation);
        startDownload();
        return false;
    }
    case RangeRequest::BrokenMirror: {
        if (status == 404 && requestCompressed) {
            // A release published before compressed metadata: the plain form, at once and from
            // the same mirror, which is asked for no compressed form again.
            mirrors->noteLacksCompressedMetadata(mirror.name);
            mirror.lacksCompressedMetadata = true;
            unsentCheck.stop();
            dropReply();
            // Nothing was written: the file stays as it is, open and followed by its digest
            // (creating it anew would need to remove it first, which a directory may refuse).
            sendRequest(KeepFile);
            return false;
        }
        const QString explanation = tr("%1 returned %2").arg(remoteUrl()).arg(status);
        if (status == 404)
            ++notFoundAnswers;
        if (status == 404 && missingIsAnswer) {
            // The file need not exist: its absence is an answer, not the mirror's fault.
            resetDownload();
            emit message(explanation);
            errorCancel();
            return false;
        }
        // Within an attempt limit a missing file costs one error, not the mirror.
        if (status != 404 || attemptLimit <= 0)
            mirrors->removeMirror(mirror.name);
        errorRetry(explanation);
        return false;
    }
    }
    answerTaken = true;
    return true;
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply || answerTaken)
        return;
    // Judged once the status is there; a reply may announce meta data before it.
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return;
    takeAnswer();
}

void DownloadTaskSpecification::onReadyRead()
{
    idleTicks = 0;
    // The answer is judged at once, so that a transfer that breaks before the first read
    // knows whether its bytes continue the file.
    if (reply && !takeAnswer())
        return;
    // The network thread hands the body over in pieces of a few KiB, each with its own
    // readyRead(). Reading after the pieces already on their way have arrived makes one large
    // write of many pieces.
    if (drainReply)
        return;
    drainReply = reply;
    QMetaObject::invokeMethod(this, &DownloadTaskSpecification::onDrain, Qt::QueuedConnection);
}

void DownloadTaskSpecification::onDrain()
{
    // A drain asked for by a reply that has been dropped since (a retry) is not the new reply's:
    // that one may not even have its status yet.
    const bool current = reply && reply == drainReply;
    drainReply = nullptr;
    if (current)
        readData();
}

bool DownloadTaskSpecification::readData()
{
    // No byte goes into the file before the answer is known to continue it.
    if (reply && !takeAnswer())
        return false;
    // Everything the reply holds in one read and one write: per-step costs (system calls,
    // progress reports) then scale with the reply's buffer, not with a small fixed piece.
    if (buffer.size() < ReadBufferSize)
        buffer.resize(ReadBufferSize);
    while (reply) {
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 count = reply->read(buffer.data(), qMin(available, qint64(buffer.size())));
        if (count < 0) {
            errorRetry(
                tr("%1 from mirror %2: %3").arg(remotePath, mirror.name, reply->errorString()),
                KeepPartial);
            return false;
        }
        if (count == 0)
            return true;
        idleTicks = 0;
        if (!writeBody(buffer.constData(), count))
            return false;
        digester.grown(bytesReceived);
        if (expectedSize > 0)
            setProgress(qMin(1.0, double(bytesReceived) / double(expectedSize)));
    }
    return true;
}

bool DownloadTaskSpecification::writeBody(const char *data, qint64 count)
{
    const qint64 limit = bodyLimit();
    if (!requestCompressed) {
        if (limit > 0 && bytesReceived + count > limit) {
            errorRetry(tr("%1 sent more than the expected %2 bytes").arg(remoteUrl()).arg(limit));
            return false;
        }
        if (!file.write(data, count)) {
            failLocally(file.error());
            return false;
        }
        bytesReceived += count;
        return true;
    }
    // Room for gzip's own bytes around data that does not compress; a body beyond that is
    // no compressed form of the file.
    compressedBytes += count;
    if (limit > 0 && compressedBytes > limit + limit / 256 + 1024) {
        errorRetry(tr("%1 sent more than the expected %2 bytes").arg(remoteUrl()).arg(limit));
        return false;
    }
    bool written = true;
    const bool inflated
        = gzip.feed(QByteArrayView(data, count), [this, &written](QByteArrayView plain) {
              written = file.write(plain.data(), plain.size());
              if (written)
                  bytesReceived += plain.size();
              return written;
          });
    if (!written) {
        failLocally(file.error());
        return false;
    }
    if (!inflated) {
        errorRetry(tr("%1 from mirror %2: %3").arg(requestPath(), mirror.name, gzip.error()));
        return false;
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    // Only an announced length is a total: at its end, a reply without one reports what it
    // received as the total, which would make the last bytes read count as progress twice.
    if (bytesTotal > 0 && expectedSize == -1 && reply && !requestCompressed
        && reply->header(QNetworkRequest::ContentLengthHeader).isValid())
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;

    if (reply->error() != QNetworkReply::NoError) {
        const QString explanation
            = tr("%1 from mirror %2: %3").arg(remotePath, mirror.name, reply->errorString());
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            mirrors->removeMirror(mirror.name);
            reply->close();
            errorRetry(explanation);
            return;
        }
        const MirrorConnection::Ending ending = MirrorConnection::ending(reply);
        if (ending != MirrorConnection::Answered
            || (!answerTaken && mirrors->priorKnowledgeUnanswered(mirror))) {
            retryRefused(ending);
            return;
        }
        // The bytes that came before the break are good; the next attempt asks for the rest.
        if (answerTaken && canResume() && !readData())
            return; // a retry is already under way
        errorRetry(explanation, KeepPartial);
        return;
    }

    // Normally settled when the headers arrived; a finished reply must not slip past it.
    if (!readData())
        return; // a retry is already under way
    if (requestCompressed && !gzip.isComplete()) {
        errorRetry(tr("%1 ended before the end of its gzip data").arg(remoteUrl()), KeepPartial);
        return;
    }
    // A connection closed early without an error is no complete file: without this the MD5
    // check would blame the content and drop the mirror for good. An announced length counts
    // only for a body sent as it is: it measures the encoded bytes, not the decoded ones.
    qint64 knownSize = initialExpectedSize;
    if (knownSize <= 0 && reply->rawHeader("Content-Encoding").isEmpty())
        knownSize = expectedSize;
    if (knownSize > 0 && bytesReceived < knownSize) {
        errorRetry(
            tr("%1 ended after %2 of %3 bytes").arg(remoteUrl()).arg(bytesReceived).arg(knownSize),
            KeepPartial);
        return;
    }

    QNetworkReply *done = reply;
    reply = nullptr;
    disconnect(done, nullptr, this, nullptr);
    done->close();
    done->deleteLater();
    // Finished tasks stay around until their list ends; their buffers need not.
    buffer = QByteArray();
    file.close();
    // The slot goes back now, not after the digest: another download may use it meanwhile.
    servingMirror = mirror.name;
    releaseHeldMirror();
    digester.finish(bytesReceived);
}

void DownloadTaskSpecification::failLocally(int reason)
{
    // A full, read-only or failing disk: no mirror is to blame, and none could help. The bytes
    // written so far stay for the next run, which may find room for the rest.
    const QString text = SessionFile::diskErrorMessage(file.fileName(), reason);
    resetDownload(KeepPartial);
    emit error(text);
    errorCancel();
}

void DownloadTaskSpecification::errorRetry(const QString &explanation, PartialBytes partial)
{
    ++failedAttempts;
    mirrors->addMirrorError(mirror.name);
    failedMirrors.insert(mirror.name);
    resetDownload(partial);
    emit message(explanation);
    if (attemptLimit > 0 && failedAttempts >= attemptLimit) {
        errorCancel();
        return;
    }
    startDownload();
}

void DownloadTaskSpecification::onConnectionEnded(const QString &name, int connection)
{
    // A request still without an answer over the connection the server ended gets none: sent
    // again now, it need not wait to be found stuck.
    if (state == Running && reply && !answerTaken && name == mirror.name
        && connection == mirror.connection)
        retryRefused(MirrorConnection::ConnectionEnded);
}

void DownloadTaskSpecification::retryRefused(MirrorConnection::Ending ending)
{
    // Nothing was processed, so nothing is held against the mirror unless it refuses everything.
    const FTPSiteAccessData used = mirror;
    const QString explanation = reply ? reply->errorString() : QString();
    resetDownload(KeepPartial);
    if (ending != MirrorConnection::Answered
        && mirrors->requestRefused(used, ending == MirrorConnection::ConnectionEnded))
        emit message(
            tr("%1: mirror %2 refused the request (%3)").arg(remotePath, used.name, explanation));
    startDownload();
}

void DownloadTaskSpecification::resetDownload(PartialBytes partial)
{
    unsentCheck.stop();
    releaseHeldMirror();
    // A task waiting for a free slot stops listening.
    disconnect(manager, nullptr, this, nullptr);
    dropReply();
    digester.stop();
    buffer = QByteArray();
    idleTicks = 0;
    slowWatch.clear();
    answerTaken = false;
    const bool keep = partial == KeepPartial && canResume() && bytesReceived > 0;
    if (file.isOpen()) {
        file.close();
        if (!keep)
            file.remove();
    }
    if (keep)
        return;
    lastTickBytes = 0;
    bytesReceived = 0;
    resumed = false;
    expectedSize = initialExpectedSize;
    setProgress(0.0);
}

void DownloadTaskSpecification::releaseHeldMirror()
{
    // The pool's slot count has no lower bound: each reservation is given back exactly once.
    if (mirror.name.isEmpty())
        return;
    mirrors->releaseMirror(mirror.name);
    mirror.name.clear();
}

void DownloadTaskSpecification::dropReply()
{
    RangeRequest::drop(reply, this);
}

QString DownloadTaskSpecification::requestPath() const
{
    return requestCompressed ? remotePath + QLatin1String(".gz") : remotePath;
}

QString DownloadTaskSpecification::remoteUrl() const
{
    return mirror.url + QLatin1Char('/') + requestPath();
}

QUrl DownloadTaskSpecification::requestUrl() const
{
    return QUrl(mirror.url + QLatin1Char('/') + RangeRequest::encodedPath(requestPath()));
}

qint64 DownloadTaskSpecification::bodyLimit() const
{
    // The size given at construction, not one the server announced: a server's own length
    // header cannot vouch for the body it sends.
    if (initialExpectedSize > 0)
        return initialExpectedSize;
    return unknownSizeCap > 0 ? unknownSizeCap : 0;
}
