#include "download/inidownloadtaskspecification.h"

#include "app/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"

#include <QFileInfo>

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

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString localIni = localIniPath();
    const QString localSignature = localIni + QLatin1String(SignatureSuffix);
    double checkShare = 1.0;

    // After a failed verification both files are fetched again, whatever is
    // on disk; the downloads truncate them.
    iniDownload = nullptr;
    if (retryCount > 0 || !QFileInfo::exists(localIni)) {
        auto *download = new DownloadTaskSpecification(manager, mirrors, remoteIniPath(), localIni,
                                                       -1, this, DownloadShare);
        download->setUnknownSizeLimit(MaxIniBytes);
        iniDownload = download;
        addSubTask(download);
        checkShare = 1.0 - DownloadShare;
    }
    if (retryCount > 0 || !QFileInfo::exists(localSignature)) {
        auto *download = new DownloadTaskSpecification(
            manager, mirrors, remoteIniPath() + QLatin1String(SignatureSuffix), localSignature, -1,
            this, DownloadShare);
        download->setUnknownSizeLimit(MaxSignatureBytes);
        addSubTask(download);
        checkShare -= DownloadShare;
    }
    auto *check = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkShare);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *)
{
    if (pass)
        return;
    // Like a file with a wrong MD5, a manifest that does not verify costs the mirror that served
    // it; otherwise one bad mirror could be asked again and again up to the retry limit.
    if (iniDownload)
        mirrors->addMirrorError(iniDownload->servingMirrorName());
    ++retryCount;
    if (retryCount > retryLimit) {
        emit message(tr("Could not verify the product ini file. Aborting"));
        // The reporting check still finishes after this; a composed task
        // that has ended starts nothing more, so this stays the only end.
        errorCancel();
        return;
    }
    emit message(tr("Could not verify the product ini file. Retrying"));
    // The reset disconnects the check that is reporting, so its own ending
    // reaches nobody; the new attempt runs with fresh subtasks.
    const int retries = retryCount;
    reset();
    retryCount = retries;
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    if (iniDownload && iniDownload->state == ErrorCanceled && iniDownload->notFoundOnMirrors())
        emit error(tr("Version %1 of %2 is not available on any mirror")
                       .arg(configuration->clientVersion)
                       .arg(configuration->clientType));
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    retryCount = 0;
    TaskSpecification::reset();
}
