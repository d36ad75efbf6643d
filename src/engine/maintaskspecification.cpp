#include "engine/maintaskspecification.h"

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
      configuration(configuration)
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
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this,
                                                            ListBuildingShare));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloadList,
                                                     networkManager, mirrors, configuration, this,
                                                     DownloadShare));
    auto *installation = new FileReplaceListTaskSpecification(
        &fileSpecifications.replaceList, &fileSpecifications.deleteList, configuration, this,
        ReplaceShare);
    addSubTask(installation);
    auto *deletion =
        new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, DeleteShare);
    deletion->setInstallJournal(installation->diskJournal());
    addSubTask(deletion);
    state = Running;
    executeSubTasks();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}
