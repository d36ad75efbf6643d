#include "engine/maintaskspecification.h"

#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/inidownloadtaskspecification.h"
#include "fileops/filedeletelisttaskspecification.h"
#include "fileops/filereplacelisttaskspecification.h"
#include "manifest/keptrelease.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// Shares of the overall progress; they add up to 1.
constexpr double IniDownloadShare = 0.1;
constexpr double ListBuildingShare = 0.05;
constexpr double DownloadShare = 0.4;
constexpr double ReplaceShare = 0.4;
constexpr double DeleteShare = 0.05;

} // namespace

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *networkManager,
                                             Mirrors *mirrors, Configuration *configuration,
                                             QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      networkManager(networkManager),
      mirrors(mirrors),
      configuration(configuration),
      fileStates(Configuration::getAppRootPath())
{
}

void MainTaskSpecification::execute()
{
    emit message(tr("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // The lists are empty now; the second step fills them before the steps
    // that read them start.
    addSubTask(new IniDownloadTaskSpecification(networkManager, mirrors, configuration, this,
                                                IniDownloadShare));
    auto *listStep = new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications,
                                                                  this, ListBuildingShare);
    listStep->setFileStateCache(&fileStates);
    addSubTask(listStep);
    // After addSubTask(): the download step is started from the event loop, after this.
    connect(listStep, &TaskSpecification::finished, this, &MainTaskSpecification::onListsBuilt);
    auto *downloadStep
        = new DownloadFileListTaskSpecification(&fileSpecifications.downloadList, networkManager,
                                                mirrors, configuration, this, DownloadShare);
    downloadStep->setReplaceList(&fileSpecifications.replaceList);
    addSubTask(downloadStep);
    connect(downloadStep, &TaskSpecification::finished, this,
            &MainTaskSpecification::onDownloadsDone);
    auto *replaceStep = new FileReplaceListTaskSpecification(&fileSpecifications.replaceList,
                                                             &fileSpecifications.deleteList,
                                                             configuration, this, ReplaceShare);
    replaceStep->setFileStateCache(&fileStates);
    replaceStep->setDirectoryList(&fileSpecifications.directoryList);
    addSubTask(replaceStep);
    // Connected after addSubTask(): the base class has already asked for the
    // next step when the cancel is dropped, and that request decides.
    connect(replaceStep, &TaskSpecification::finished, this,
            &MainTaskSpecification::onInstallationCommitted);
    auto *deletion
        = new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, DeleteShare);
    // It removes the committed journal once the old copies are gone.
    deletion->setInstallJournal(replaceStep->diskJournal());
    deletion->setDropDirectoryList(&fileSpecifications.dropDirectoryList);
    deleteStep = deletion;
    addSubTask(deleteStep);
    committed = false;
    keepAtEnd = false;
    state = Running;
    executeSubTasks();
}

void MainTaskSpecification::userCanceled()
{
    if (committed)
        return;
    ComposedTaskSpecification::userCanceled();
}

void MainTaskSpecification::subtasksDone()
{
    if (keepAtEnd && getStateFromSubTasks() == Finished)
        keepRelease(Configuration::getAppRootPath() + QLatin1Char('/') + KeptRelease::fileName());
    keepAtEnd = false;
    fileSpecifications.clear();
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::onListsBuilt()
{
    if (!fileSpecifications.downloadList.isEmpty())
        emit downloadsStarting();
}

void MainTaskSpecification::onDownloadsDone()
{
    // Nothing reads the download list after its step: for a large product its records are a
    // good part of what the installation would otherwise start with.
    fileSpecifications.downloadList = {};
    if (configuration->keptReleaseUsed)
        return;
    const bool changes = !fileSpecifications.replaceList.isEmpty()
        || !fileSpecifications.deleteList.isEmpty() || !fileSpecifications.directoryList.isEmpty()
        || !fileSpecifications.dropDirectoryList.isEmpty();
    if (!changes) {
        keepAtEnd = true;
        return;
    }
    // Staged in the session like a download and installed with the files, under the same
    // journal: a rollback brings back the copy of the release it restores.
    FileReplaceSpecification kept;
    kept.filePath = KeptRelease::fileName();
    const bool shipped = std::any_of(
        fileSpecifications.replaceList.cbegin(), fileSpecifications.replaceList.cend(),
        [&kept](const FileReplaceSpecification &file) {
            return file.pureDestFilePath() == kept.filePath || file.filePath == kept.filePath;
        });
    if (shipped) {
        emit message(tr("The release installs a file named %1; its metadata is not kept")
                         .arg(kept.filePath));
        return;
    }
    if (keepRelease(configuration->tempDir + QLatin1Char('/') + kept.filePath))
        fileSpecifications.replaceList.append(kept);
}

bool MainTaskSpecification::keepRelease(const QString &destination)
{
    const QString dir = configuration->tempDir + QLatin1Char('/');
    const QString ini = configuration->clientType + QLatin1String(".ini");
    QList<KeptRelease::Part> parts;
    for (const QString &name : {ini, ini + QLatin1String(".sig"), ini + QLatin1String(".sigs")}) {
        if (QFileInfo(dir + name).isFile())
            parts.append({name, dir + name});
    }
    if (!configuration->sideFilePath.isEmpty())
        parts.append(
            {QFileInfo(configuration->sideFilePath).fileName(), configuration->sideFilePath});
    QString problem;
    if (KeptRelease::write(destination, parts, &problem))
        return true;
    // Only the next run's requests depend on it.
    emit message(tr("Could not keep the release's metadata in %1: %2").arg(destination, problem));
    return false;
}

void MainTaskSpecification::onInstallationCommitted()
{
    committed = true;
    fileStates.committed();
    if (!cancelRequested)
        return;
    // Stopping now would report a committed installation as aborted and
    // leave the old copies in it for good.
    cancelRequested = false;
    // The delete step has not started; the reset clears the request it was
    // passed on to.
    deleteStep->reset();
}

void MainTaskSpecification::reset()
{
    deleteStep = nullptr;
    committed = false;
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}
