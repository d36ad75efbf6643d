#include "engine/maintaskspecification.h"

#include "download/inidownloadtaskspecification.h"
#include "engine/stepstandintaskspecification.h"

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
    addSubTask(new IniDownloadTaskSpecification(networkManager, mirrors, configuration, this,
                                                IniDownloadShare));
    // Download, replace and delete lists.
    addSubTask(new StepStandInTaskSpecification(this, ListBuildingShare));
    // File downloads.
    addSubTask(new StepStandInTaskSpecification(this, DownloadShare));
    // Installation under the rollback journal.
    addSubTask(new StepStandInTaskSpecification(this, ReplaceShare));
    // Deletion of obsolete files.
    addSubTask(new StepStandInTaskSpecification(this, DeleteShare));
    state = Running;
    executeSubTasks();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}
