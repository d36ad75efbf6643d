#include "download/inidownloadtaskspecification.h"

#include "app/configuration.h"
#include "app/updateinidata.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "download/optionaldownloadtaskspecification.h"
#include "manifest/checkmanifesttaskspecification.h"
#include "manifest/checksigfunc.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/keptrelease.h"
#include "manifest/keptreleasecheck.h"
#include "manifest/signaturelist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double DownloadShare = 0.3333;

const char SignatureSuffix[] = ".sig";

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                           Mirrors *mirrors,
                                                           Configuration *configuration,
                                                           QObject *parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      manager(manager),
      mirrors(mirrors),
      configuration(configuration)
{
}

QString IniDownloadTaskSpecification::remoteIniPath() const
{
    return configuration->clientType + QLatin1String(".ini");
}

QString IniDownloadTaskSpecification::localIniPath() const
{
    return configuration->tempDir + QLatin1Char('/') + remoteIniPath();
}

void IniDownloadTaskSpecification::execute()
{
    emit message(tr("Download / check product ini"));
    makeSubtasksAndStart();
}

bool IniDownloadTaskSpecification::takeKeptRelease()
{
    configuration->keptReleaseUsed = false;
    configuration->installedIniPath.clear();
    // "::" separates a manifest entry's fields: no product file has such a name.
    const QString workDir = configuration->tempDir + QLatin1String("/::kept");
    QDir(workDir).removeRecursively();
    KeptReleaseCheck::Expectation expectation;
    expectation.clientType = configuration->clientType;
    UpdateIniData::installedVersion(configuration->clientType, &expectation.installedVersion);
    expectation.targetVersion = configuration->clientVersion;
    expectation.bindingRequired = configuration->boundReleaseInstalled;
    expectation.now = QDateTime::currentDateTimeUtc();
    const QString keptPath
        = Configuration::getAppRootPath() + QLatin1Char('/') + KeptRelease::fileName();
    const KeptReleaseCheck check = KeptReleaseCheck::examine(keptPath, workDir, expectation);
    const auto moveOut = [&workDir](const QString &name, const QString &to) {
        return ::rename(QFile::encodeName(workDir + QLatin1Char('/') + name).constData(),
                        QFile::encodeName(to).constData())
            == 0;
    };
    bool used = false;
    switch (check.outcome) {
    case KeptReleaseCheck::Absent:
        break;
    case KeptReleaseCheck::Refused:
        KeptRelease::remove(keptPath);
        emit message(tr("The kept metadata of the installed release (%1) was refused: %2. It was "
                        "removed; the release is fetched")
                         .arg(KeptRelease::fileName(), check.problem));
        break;
    case KeptReleaseCheck::Installed: {
        const QString installedIni = localIniPath() + QLatin1String("::installed");
        if (moveOut(KeptReleaseCheck::iniName(configuration->clientType), installedIni))
            configuration->installedIniPath = installedIni;
        break;
    }
    case KeptReleaseCheck::Current:
        used = std::all_of(check.names.cbegin(), check.names.cend(), [&](const QString &name) {
            return moveOut(name, configuration->tempDir + QLatin1Char('/') + name);
        });
        if (!used)
            break;
        configuration->releaseBound = check.binding.present;
        if (check.binding.present)
            configuration->sideFilePath
                = configuration->tempDir + QLatin1Char('/') + check.binding.digestsSource();
        configuration->blockListsApart = !check.binding.digestsFile.isEmpty();
        configuration->keptReleaseUsed = true;
        emit message(tr("Version %1 is installed and its kept metadata checks out: nothing is "
                        "fetched to compare the installation with it")
                         .arg(configuration->clientVersion));
        break;
    }
    QDir(workDir).removeRecursively();
    return used;
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString localIni = localIniPath();
    const QString localSignature = localIni + QLatin1String(SignatureSuffix);
    configuration->sideFilePath.clear();
    configuration->blockListsApart = false;
    configuration->releaseBound = false;
    // Once per run: a refusal or a release signed anew since has nothing to do with the copy.
    if (retryCount == 0 && !republished && takeKeptRelease()) {
        state = Running;
        executeSubTasks();
        return;
    }

    // After a failed verification both files are fetched again, whatever is
    // on disk; the downloads truncate them.
    iniDownload = nullptr;
    sideFileDownload = nullptr;
    const bool fetchAnew = retryCount > 0 || republished;
    if (!fetchAnew && QFileInfo::exists(localIni) && QFileInfo::exists(localSignature)) {
        // An interrupted session's ini: a release published again under the same version would
        // make every mirror's files fail against it. The signature the mirrors serve now tells,
        // at the cost of a few bytes; when it cannot be had, the kept ini is used as it is.
        // A killed run's copy would be continued, not replaced.
        QFile::remove(currentSignaturePath());
        auto *current = new OptionalDownloadTaskSpecification(
            manager, mirrors, remoteIniPath() + QLatin1String(SignatureSuffix),
            currentSignaturePath(), MaxSignatureBytes, this, 0.0);
        addSubTask(current);
        connect(current, &TaskSpecification::finished, this,
                &IniDownloadTaskSpecification::onCurrentSignatureFetched);
    }
    if (fetchAnew || !QFileInfo::exists(localIni)) {
        auto *download = new DownloadTaskSpecification(manager, mirrors, remoteIniPath(), localIni,
                                                       -1, this, DownloadShare);
        download->setUnknownSizeLimit(MaxIniBytes);
        download->setCompressedFirst(true);
        iniDownload = download;
        addSubTask(download);
    }
    if (fetchAnew || !QFileInfo::exists(localSignature)) {
        auto *download = new DownloadTaskSpecification(
            manager, mirrors, remoteIniPath() + QLatin1String(SignatureSuffix), localSignature, -1,
            this, DownloadShare);
        download->setUnknownSizeLimit(MaxSignatureBytes);
        addSubTask(download);
    }
    addManifestCheck(false);

    state = Running;
    executeSubTasks();
}

QString IniDownloadTaskSpecification::currentSignaturePath() const
{
    // "::" separates a manifest entry's fields: no product file has such a name.
    return localIniPath() + QLatin1String(SignatureSuffix) + QLatin1String("::current");
}

void IniDownloadTaskSpecification::onCurrentSignatureFetched()
{
    const QString currentPath = currentSignaturePath();
    QFile current(currentPath);
    QFile kept(localIniPath() + QLatin1String(SignatureSuffix));
    const bool differs = current.open(QIODevice::ReadOnly) && kept.open(QIODevice::ReadOnly)
        && current.read(MaxSignatureBytes + 1) != kept.read(MaxSignatureBytes + 1);
    current.close();
    QFile::remove(currentPath);
    if (!differs)
        return;
    emit message(tr("The release of version %1 was signed anew since this session began; "
                    "fetching its product ini again")
                     .arg(configuration->clientVersion));
    // The reset disconnects the download that is reporting; the new attempt fetches both files
    // and checks them as for a new session. No mirror is charged: each served what it had.
    reset();
    republished = true;
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::addManifestCheck(bool tryFurtherSignatures)
{
    ManifestExpectation expectation;
    expectation.clientType = configuration->clientType;
    expectation.version = QString::number(configuration->clientVersion);
    expectation.bindingRequired = configuration->boundReleaseInstalled;
    expectation.now = QDateTime::currentDateTimeUtc();
    expectation.tryFurtherSignatures = tryFurtherSignatures;
    // The check's share is whatever the downloads left; its exact value matters little.
    auto *check = new CheckManifestTaskSpecification(localIniPath(), expectation, this, 0.0);
    connect(check, &CheckManifestTaskSpecification::manifestChecked, this,
            &IniDownloadTaskSpecification::onManifestChecked);
    addSubTask(check);
}

QString IniDownloadTaskSpecification::iniSource() const
{
    return iniDownload ? iniDownload->servingMirrorName() : localIniPath();
}

void IniDownloadTaskSpecification::onManifestChecked(const ManifestVerdict &verdict)
{
    const ReleaseBinding &binding = verdict.binding;
    switch (verdict.kind) {
    case ManifestVerdict::Accepted:
        if (!binding.present) {
            emit message(tr("Product ini from %1 carries no version binding; accepted as a release "
                            "published before bindings")
                             .arg(iniSource()));
            return;
        }
        configuration->releaseBound = true;
        addSideFileSubtasks(binding);
        return;
    case ManifestVerdict::NotVerified: {
        // The further signatures are tried once per attempt, after the first one failed: a
        // release signed with one key has none, and an updater trusting its first key never
        // needs them.
        const bool furtherTried = std::any_of(
            allSubTasks.cbegin(), allSubTasks.cend(), [](const TaskSpecification *task) {
                return qobject_cast<const OptionalDownloadTaskSpecification *>(task) != nullptr;
            });
        if (!furtherTried) {
            addSubTask(new OptionalDownloadTaskSpecification(
                manager, mirrors, SignatureList::pathFor(remoteIniPath()),
                SignatureList::pathFor(localIniPath()), SignatureList::MaxFileBytes, this, 0.0));
            addManifestCheck(true);
            return;
        }
        refuse(tr("Could not verify the product ini file. Aborting"), iniSource(),
               tr("Could not verify the product ini file. Retrying"));
        return;
    }
    case ManifestVerdict::WrongRelease:
        refuse(tr("Product ini from %1 is for %2 version %3, not version %4")
                   .arg(iniSource(), binding.clientType, binding.version,
                        QString::number(configuration->clientVersion)),
               iniSource());
        return;
    case ManifestVerdict::Expired:
        refuse(tr("Product ini from %1 expired on %2 (UTC)")
                   .arg(iniSource(), ReleaseBinding::displayTime(binding.expires)),
               iniSource());
        return;
    case ManifestVerdict::Unbound:
        refuse(tr("Product ini from %1 carries no version binding").arg(iniSource()), iniSource());
        return;
    case ManifestVerdict::MalformedBinding:
        refuse(tr("Product ini from %1 has a malformed version binding: %2")
                   .arg(iniSource(), verdict.problem),
               iniSource());
        return;
    }
}

void IniDownloadTaskSpecification::addSideFileSubtasks(const ReleaseBinding &binding)
{
    // A release with a digests file has its block lists apart: its side file, which carries
    // them all, is only for updaters that do not know the digests file.
    const bool listsApart = !binding.digestsFile.isEmpty();
    configuration->blockListsApart = listsApart;
    const QString localPath = configuration->tempDir + QLatin1Char('/') + binding.digestsSource();
    // An interrupted run may have left it; it is small enough to check right here.
    CheckSigFunc kept(localPath, QString());
    kept.setExpectedSha256(binding.digestsSourceSha256());
    if (retryCount == 0 && QFileInfo(localPath).size() == binding.digestsSourceSize()
        && kept.run()) {
        configuration->sideFilePath = localPath;
        return;
    }
    auto *download
        = new DownloadTaskSpecification(manager, mirrors, binding.digestsSource(), localPath,
                                        binding.digestsSourceSize(), this, 0.0);
    download->setCompressedFirst(listsApart);
    sideFileDownload = download;
    addSubTask(download);
    auto *check = new CheckSignatureTaskSpecification(localPath, QString(), false, this, 0.0);
    check->setExpectedSha256(binding.digestsSourceSha256());
    connect(download, &TaskSpecification::finished, check,
            [download, check] { check->setKnownSha256(download->fileSha256()); });
    download->setWithSha256(true);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSideFileChecked);
    addSubTask(check);
}

void IniDownloadTaskSpecification::onSideFileChecked(bool pass,
                                                     CheckSignatureTaskSpecification *task)
{
    if (pass) {
        configuration->sideFilePath = task->getFilePath();
        return;
    }
    const QString mirror = sideFileDownload ? sideFileDownload->servingMirrorName() : QString();
    if (configuration->blockListsApart)
        refuse(
            tr("Digests file from %1 does not match the SHA-256 its product ini gives").arg(mirror),
            mirror);
    else
        refuse(tr("Side file from %1 does not match the SHA-256 its product ini gives").arg(mirror),
               mirror);
}

void IniDownloadTaskSpecification::refuse(const QString &reason, const QString &mirror,
                                          const QString &retryLine)
{
    // Like a file with a wrong MD5, a manifest that is refused costs the mirror that served it;
    // otherwise one bad mirror could be asked again and again up to the retry limit.
    if (!mirror.isEmpty())
        mirrors->addMirrorError(mirror);
    lastRefusal = reason;
    ++retryCount;
    const bool givingUp = retryCount > retryLimit;
    emit message(givingUp || retryLine.isEmpty() ? reason : retryLine);
    if (givingUp) {
        emit error(reason);
        lastRefusal.clear();
        // The reporting check still finishes after this; a composed task
        // that has ended starts nothing more, so this stays the only end.
        errorCancel();
        return;
    }
    // The reset disconnects the check that is reporting, so its own ending
    // reaches nobody; the new attempt runs with fresh subtasks.
    const int retries = retryCount;
    const QString refusal = lastRefusal;
    reset();
    retryCount = retries;
    lastRefusal = refusal;
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    if (iniDownload && iniDownload->state == ErrorCanceled && iniDownload->notFoundOnMirrors())
        emit error(tr("Version %1 of %2 is not available on any mirror")
                       .arg(configuration->clientVersion)
                       .arg(configuration->clientType));
    else if (getStateFromSubTasks() != Finished && !lastRefusal.isEmpty())
        // The mirrors ran out after refusing what they served: that refusal is why.
        emit error(lastRefusal);
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    republished = false;
    retryCount = 0;
    lastRefusal.clear();
    TaskSpecification::reset();
}
