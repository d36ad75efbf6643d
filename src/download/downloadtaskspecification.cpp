#include "download/downloadtaskspecification.h"

#include "download/mirrors.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

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
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    // The pool and the manager may be gone already (they are older siblings in the engine), so
    // neither is touched here; a reply that still exists proves its manager does too.
    if (reply) {
        QNetworkReply *outstanding = reply;
        reply = nullptr;
        disconnect(outstanding, nullptr, this, nullptr);
        abandon(outstanding);
    }
}

void DownloadTaskSpecification::setUnknownSizeLimit(qint64 maxBytes)
{
    unknownSizeCap = maxBytes;
}

void DownloadTaskSpecification::setSlowTransferLimit(qint64 bytesPerTick, int windowTicks)
{
    minBytesPerTick = bytesPerTick;
    slowWindowTicks = qMax(1, windowTicks);
}

void DownloadTaskSpecification::execute()
{
    servingMirror.clear();
    digest.clear();
    emit message(tr("Downloading %1").arg(remotePath));
    state = Running;
    startDownload();
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
    if (idleTicks > mirror.timeoutTicks) {
        errorRetry(tr("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
        return;
    }
    if (isTooSlow()) {
        errorRetry(tr("file %1 is too slow on mirror %2").arg(remotePath, mirror.name));
        return;
    }
    downloading = true;
}

bool DownloadTaskSpecification::isTooSlow()
{
    // Each byte restarts the stall count, so a mirror sending a byte now and then would never
    // stall; the average over the last window catches it.
    windowSamples.append(bytesReceived);
    if (windowSamples.size() <= slowWindowTicks)
        return false;
    if (windowSamples.size() > slowWindowTicks + 1)
        windowSamples.removeFirst();
    const qint64 received = windowSamples.last() - windowSamples.first();
    return received < minBytesPerTick * (windowSamples.size() - 1);
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(tr("Downloading %1 finished").arg(remotePath));
    servingMirror = mirror.name;
    digest = hash.result();
    releaseHeldMirror();
    finish();
}

void DownloadTaskSpecification::startDownload()
{
    switch (mirrors->getRandomMirror(mirror)) {
    case Mirrors::NoMirrorLeft:
        // The pool has told the log itself, once per run.
        errorCancel();
        return;
    case Mirrors::AllMirrorsBusy:
        // Queued: the transfer that ends gives its slot back before this task asks again.
        disconnect(manager, nullptr, this, nullptr);
        connect(manager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished, Qt::QueuedConnection);
        return;
    default:
        break;
    }

    // A verified file of an earlier session may have been linked into the installation, which
    // then shares its inode: truncating it in place would change the installed file too.
    QFile::remove(file.fileName());
    hash.reset();
    // Unbuffered, so that a full disk shows as a failed write and not as a lost flush at close.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        emit error(tr("Unable to create file %1 for saving").arg(file.fileName()));
        releaseHeldMirror();
        errorCancel();
        return;
    }

    QNetworkRequest request {requestUrl()};
    // A redirect is a broken mirror whatever the manager's own policy says.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    reply = manager->get(request);
    if (!reply) {
        emit error(tr("Download failed to initialize"));
        file.close();
        file.remove();
        releaseHeldMirror();
        errorCancel();
        return;
    }
    // Unbounded by default: a network faster than the disk would pile the body up in memory.
    reply->setReadBufferSize(ReadBufferSize);
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }
    windowSamples = {0};
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

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() == 200)
        return;
    const QString explanation = tr("%1 returned %2").arg(remoteUrl()).arg(status.toInt());
    mirrors->removeMirror(mirror.name);
    errorRetry(explanation);
}

void DownloadTaskSpecification::onReadyRead()
{
    idleTicks = 0;
    // The network thread hands the body over in pieces of a few KiB, each with its own
    // readyRead(). Reading after the pieces already on their way have arrived makes one large
    // write of many pieces.
    if (drainQueued)
        return;
    drainQueued = true;
    QMetaObject::invokeMethod(this, &DownloadTaskSpecification::onDrain, Qt::QueuedConnection);
}

void DownloadTaskSpecification::onDrain()
{
    drainQueued = false;
    if (reply)
        readData();
}

bool DownloadTaskSpecification::readData()
{
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
            errorRetry(reply->errorString());
            return false;
        }
        if (count == 0)
            return true;
        idleTicks = 0;

        const qint64 limit = bodyLimit();
        if (limit > 0 && bytesReceived + count > limit) {
            errorRetry(tr("%1 sent more than the expected %2 bytes").arg(remoteUrl()).arg(limit));
            return false;
        }

        const qint64 written = file.write(buffer.constData(), count);
        if (written < 0) {
            errorRetry(file.errorString());
            return false;
        }
        if (written < count) {
            errorRetry(tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                           .arg(file.fileName())
                           .arg(count)
                           .arg(written));
            return false;
        }

        hash.addData(QByteArrayView(buffer.constData(), count));
        bytesReceived += count;
        if (expectedSize > 0)
            setProgress(qMin(1.0, double(bytesReceived) / double(expectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;

    if (reply->error() != QNetworkReply::NoError) {
        const QString explanation = reply->errorString();
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            mirrors->removeMirror(mirror.name);
            reply->close();
        }
        errorRetry(explanation);
        return;
    }

    // Normally settled when the headers arrived; a finished reply must not slip past it.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        onMetaDataChanged();
        return;
    }

    if (!readData())
        return; // a retry is already under way
    // A connection closed early without an error is no complete file: without this the MD5
    // check would blame the content and drop the mirror for good. An announced length counts
    // only for a body sent as it is: it measures the encoded bytes, not the decoded ones.
    qint64 knownSize = initialExpectedSize;
    if (knownSize <= 0 && reply->rawHeader("Content-Encoding").isEmpty())
        knownSize = expectedSize;
    if (knownSize > 0 && bytesReceived < knownSize) {
        errorRetry(tr("%1 ended after %2 of %3 bytes")
                       .arg(remoteUrl())
                       .arg(bytesReceived)
                       .arg(knownSize));
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
    if (file.error() != QFileDevice::NoError) {
        errorRetry(file.errorString());
        return;
    }
    downloadFinished();
}

void DownloadTaskSpecification::errorRetry(const QString &explanation)
{
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit message(explanation);
    startDownload();
}

void DownloadTaskSpecification::resetDownload()
{
    releaseHeldMirror();
    // A task waiting for a free slot stops listening.
    disconnect(manager, nullptr, this, nullptr);
    dropReply();
    buffer = QByteArray();
    idleTicks = 0;
    windowSamples.clear();
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
    lastTickBytes = 0;
    bytesReceived = 0;
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
    if (!reply)
        return;
    QNetworkReply *dropped = reply;
    reply = nullptr;
    disconnect(dropped, nullptr, this, nullptr);
    abandon(dropped);
}

void DownloadTaskSpecification::abandon(QNetworkReply *dropped)
{
    // Aborting ends the connection and makes the manager announce the end, which wakes the
    // downloads waiting for a slot; a reply that is merely deleted would leave them waiting. The
    // abort is queued because this may run inside one of the reply's own signals, and the reply
    // goes on with its own work after them.
    QMetaObject::invokeMethod(dropped, &QNetworkReply::abort, Qt::QueuedConnection);
    dropped->deleteLater();
}

QString DownloadTaskSpecification::remoteUrl() const
{
    return mirror.url + QLatin1Char('/') + remotePath;
}

QUrl DownloadTaskSpecification::requestUrl() const
{
    return QUrl(mirror.url + QLatin1Char('/') + encodedPath(remotePath));
}

QString DownloadTaskSpecification::encodedPath(const QString &path)
{
    // File names may hold anything but "/": unencoded, "#" would start a fragment, "?" a query,
    // and "%20" would reach the server as a space.
    const QStringList segments = path.split(QLatin1Char('/'));
    QStringList encoded;
    encoded.reserve(segments.size());
    for (const QString &segment : segments)
        encoded.append(QString::fromLatin1(QUrl::toPercentEncoding(segment)));
    return encoded.join(QLatin1Char('/'));
}

qint64 DownloadTaskSpecification::bodyLimit() const
{
    // The size given at construction, not one the server announced: a server's own length
    // header cannot vouch for the body it sends.
    if (initialExpectedSize > 0)
        return initialExpectedSize;
    return unknownSizeCap > 0 ? unknownSizeCap : 0;
}
