#include "engine/maintaskspecification.h"

#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/inidownloadtaskspecification.h"
#include "fileops/filedeletelisttaskspecification.h"
#include "fileops/filereplacelisttaskspecification.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"

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
