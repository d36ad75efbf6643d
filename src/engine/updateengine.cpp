#include "engine/updateengine.h"

#include "app/configuration.h"
#include "app/sessionmarker.h"
#include "app/updateinidata.h"
#include "download/banner.h"
#include "download/mirrors.h"
#include "download/updaternetworkaccessmanager.h"
#include "engine/maintaskspecification.h"
#include "manifest/cryptotools.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int TickIntervalMs = 1000;
constexpr quint16 DefaultProxyPort = 3128;
// Passes of delivering the results of an abandoned run; each step of the
// run's remaining chain of ends takes one or two.
constexpr int MaxAbandonPasses = 1000;

const char MirrorsFileName[] = "mirrors.ini";

// The banner addresses come from an unauthenticated UDP answer: only web
// addresses may be fetched or opened, never a local file or another handler.
bool isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace

UpdateEngine::UpdateEngine(Configuration &config, QObject *parent)
    : QObject(parent), configuration(&config)
{
    connect(configuration, &Configuration::message, this, &UpdateEngine::message);

    timer = new QTimer(this);
    timer->setInterval(TickIntervalMs);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    networkManager = new UpdaterNetworkAccessManager(config, this);
    // A redirect is a mirror answering something other than the file: it
    // must be seen as a non-200 status, never followed.
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    configuration->getProxyAndDownloadConcurrency();
    applyProxySetting();
}

UpdateEngine::~UpdateEngine()
{
    if (state == Running && mainTask)
        abandonRun();
}

void UpdateEngine::abandonRun()
{
    // The receivers are going away with this engine: nothing of this run may
    // reach them any more.
    disconnect(this, nullptr, nullptr, nullptr);
    disconnect(mainTask, nullptr, this, nullptr);
    timer->stop();
    mainTask->userCanceled();
    // Pool work may be writing into the installation. Its results come back
    // as queued calls to the tasks, and only they let the replace step undo
    // (or, once committed, complete) the installation, so they are delivered
    // here, to the run's own tasks only, until the root task has ended.
    for (int pass = 0; pass < MaxAbandonPasses && mainTask->state == TaskSpecification::Running;
         ++pass) {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents(mainTask, QEvent::MetaCall);
        const QList<QObject *> tasks = mainTask->findChildren<QObject *>();
        for (QObject *task : tasks)
            QCoreApplication::sendPostedEvents(task, QEvent::MetaCall);
    }
    QThreadPool::globalInstance()->waitForDone();
}

void UpdateEngine::applyProxySetting()
{
    const QString setting = configuration->proxy;
    if (setting.isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(setting, QUrl::StrictMode);
    // A text without a host name would give a proxy that every download
    // fails on; it is as unusable as text that does not parse at all.
    if (!url.isValid() || url.host().isEmpty()) {
        proxyError = tr("'%1' is an invalid proxy specification").arg(setting);
        emit fatalError(proxyError);
        return;
    }
    networkManager->setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(DefaultProxyPort))));
}

void UpdateEngine::setTickInterval(int milliseconds)
{
    timer->setInterval(milliseconds);
}

bool UpdateEngine::initialize()
{
    if (state == Running) {
        qWarning("UpdateEngine::initialize() refused: a run is in progress");
        return false;
    }
    // The constructor's report reached nobody: the window connects later.
    if (!proxyError.isEmpty()) {
        emit fatalError(proxyError);
        return false;
    }

    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }

    const QString root = Configuration::getAppRootPath();
    if (!QFileInfo::exists(root + QLatin1Char('/') + QLatin1String(MirrorsFileName))) {
        emit fatalError(tr("%1 is missing, cannot proceed.").arg(QLatin1String(MirrorsFileName)));
        return false;
    }

    const quint32 seed = quint32(QDateTime::currentSecsSinceEpoch());

    int recordedVersion = 0;
    QString recordedDir;
    QString keptDir;
    if (UpdateIniData::get(&recordedVersion, nullptr, &recordedDir)) {
        if (recordedVersion == configuration->clientVersion) {
            emit message(tr("Previous update session for v. %1 found").arg(recordedVersion));
            keptDir = recordedDir;
        } else {
            emit message(tr("Cleanup previous session (v. %1, %2) files...")
                             .arg(recordedVersion)
                             .arg(recordedDir));
            if (removeSessionDirectory(recordedDir))
                emit message(tr("Ok"));
            else
                emit message(tr("Failed to remove directory"));
            reportSettingsSave(UpdateIniData::cleanup());
        }
    }

    // The session is recorded only once there is something to download into it (see
    // recordSession()): a run that finds the installation up to date writes nothing.
    if (!configuration->initalizeStart(keptDir))
        return false;

    mirrors = new Mirrors(this);
    mirrors->seed(seed);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);

    const bool filled = configuration->channel == Alpha
        ? mirrors->initAlpha(UpdateIniData::filename(), configuration->clientVersion)
        : mirrors->initDefault(root + QLatin1Char('/') + QLatin1String(MirrorsFileName),
                               configuration->clientVersion);
    if (!filled)
        return false;

    state = Initialized;
    return true;
}

bool UpdateEngine::startUpdate()
{
    if (state == Running) {
        qWarning("UpdateEngine::startUpdate() refused: a run is in progress");
        return false;
    }
    mainTask = new MainTaskSpecification(networkManager, mirrors, configuration, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    connect(mainTask, &MainTaskSpecification::downloadsStarting, this,
            &UpdateEngine::recordSession);
    state = Running;
    timer->start();
    mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return state == Initialized || state == Running;
}

void UpdateEngine::onTimer()
{
    if (state != Running || !mainTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(done, total, speed, downloading);
    // The tick may have ended the run (a stalled download with no mirror
    // left); its figures describe a run that is over and already reported
    // as such.
    if (state != Running)
        return;
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::cancelUpdate()
{
    if (state != Running || !mainTask)
        return;
    mainTask->userCanceled();
}

void UpdateEngine::recordSession()
{
    // Without the record the next run merely cannot reuse these downloads.
    reportSettingsSave(UpdateIniData::modify(configuration->clientVersion, configuration->tempDir,
                                             configuration->clientType));
}

void UpdateEngine::removeUnrecordedSession()
{
    // A run that never had anything to download never recorded its session: the directory
    // holds only the product ini, which nobody would reuse or remove.
    QString recorded;
    if (UpdateIniData::get(nullptr, nullptr, &recorded) && recorded == configuration->tempDir)
        return;
    if (UpdateIniData::isSessionDirectory(configuration->tempDir))
        removeSessionDirectory(configuration->tempDir);
}

void UpdateEngine::onTaskFinished()
{
    timer->stop();
    cleanup();
    saveFileStates();
    reportSettingsSave(UpdateIniData::finishRun(
        configuration->clientType, configuration->clientVersion, configuration->releaseBound));
    state = Finished;
    emit message(tr("Update successfully finished"));
    dropMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    timer->stop();
    state = Canceled;
    if (mainTask->state == TaskSpecification::UserCanceled)
        emit message(tr("User aborted update"));
    // What a failed run learned of the files it read is as true as a finished one's.
    saveFileStates();
    dropMainTask();
    // The temporary directory and the session record stay: the next run for
    // the same version reuses what was downloaded.
    removeUnrecordedSession();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

bool UpdateEngine::reset()
{
    if (state == Running) {
        qWarning("UpdateEngine::reset() refused: a run is in progress");
        return false;
    }
    state = Idle;
    if (mainTask)
        dropMainTask();
    return true;
}

void UpdateEngine::dropMainTask()
{
    disconnect(mainTask, nullptr, this, nullptr);
    // Deferred: this may run inside the root task's own signal.
    mainTask->deleteLater();
    mainTask = nullptr;
}

void UpdateEngine::cleanup()
{
    emit message(tr("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir))
        removeSessionDirectory(dir);
    removeUnrecordedSession();
    emit message(tr("Temporary files removed."));
}

bool UpdateEngine::removeSessionDirectory(const QString &dir)
{
    // Files that will not go are only clutter, which the next run for another version, or the
    // next start, tries again to remove. The marker goes last, and only from an emptied
    // directory: files must not stay where nobody can tell them as this installation's.
    const QString marker = SessionMarker::fileName();
    const QStringList failures = cleanupDirectory(dir, marker);
    reportLeftovers(failures);
    if (failures.isEmpty())
        ::unlink(QFile::encodeName(dir + QLatin1Char('/') + marker).constData());
    QDir parentDir(dir);
    return parentDir.cdUp() && parentDir.rmdir(QFileInfo(dir).fileName());
}

void UpdateEngine::saveFileStates()
{
    // A cache that cannot be saved only makes the next run read every file.
    QString problem;
    if (!mainTask->saveFileStates(&problem))
        emit message(problem);
}

void UpdateEngine::reportSettingsSave(bool saved)
{
    if (!saved)
        emit message(tr("Could not save %1").arg(UpdateIniData::filename()));
}

void UpdateEngine::reportLeftovers(const QStringList &failures)
{
    // A few lines tell what is wrong; thousands would bury the rest of the log.
    constexpr int MaxLines = 5;
    for (int i = 0; i < failures.size() && i < MaxLines; ++i)
        emit message(tr("Could not remove %1").arg(failures.at(i)));
    if (failures.size() > MaxLines)
        emit message(tr("... and %1 more files").arg(failures.size() - MaxLines));
}

QStringList UpdateEngine::cleanupDirectory(const QString &path, const QString &keep)
{
    QStringList failures;
    const QDir dir(path);
    const QDir::Filters filter
        = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    const QStringList files = dir.entryList(QDir::Files | filter);
    for (const QString &file : files) {
        if (file == keep)
            continue;
        const QByteArray name = QFile::encodeName(dir.filePath(file));
        if (::unlink(name.constData()) != 0 && errno != ENOENT)
            failures.append(dir.filePath(file) + QLatin1String(": ")
                            + QString::fromLocal8Bit(std::strerror(errno)));
    }
    const QStringList subdirs = dir.entryList(QDir::Dirs | filter);
    for (const QString &subdir : subdirs) {
        failures += cleanupDirectory(dir.filePath(subdir));
        QDir(path).rmdir(subdir);
    }
    return failures;
}

void UpdateEngine::removeOldFiles(const QString &directory)
{
    const QDir dir(directory);
    const QString prefix = Configuration::getSpecialFileRenamePrefix();
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString &name : names)
        QFile::remove(dir.filePath(prefix + name));
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    Banner *banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(const QString &bannerUrl, const QString &clickUrl)
{
    const QUrl url(bannerUrl);
    if (!isWebUrl(url))
        return;
    // A click address that is not a web address is dropped; the image may
    // still be shown, it just opens nothing.
    bannerClickUrl = isWebUrl(QUrl(clickUrl)) ? clickUrl : QString();
    bannerReply = networkManager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this,
            &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::downloadProgress, this,
            &UpdateEngine::onBannerDownloadProgress);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerBytes)
        abandonBannerDownload();
}

void UpdateEngine::onBannerDownloadProgress(qint64 bytesReceived, qint64)
{
    // Without a Content-Length the announced cap cannot act; the bytes that
    // really arrive are capped the same way.
    if (bannerReply && bytesReceived > MaxBannerBytes)
        abandonBannerDownload();
}

void UpdateEngine::abandonBannerDownload()
{
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    const QByteArray bytes = bannerReply->readAll();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    if (bytes.size() > MaxBannerBytes)
        return;
    emit bannerFound(bytes, bannerClickUrl);
}
