#include "manifest/makedownloadreplacelisttaskspecification.h"

#include "manifest/makedownloadreplacelistfunc.h"

#include <QThreadPool>

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *configuration, FileSpecifications &target, QObject *parent,
    double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      configuration(configuration),
      target(&target)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // While Running, a work object may still be writing into results.
    if (state == Running)
        QThreadPool::globalInstance()->waitForDone();
}

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(configuration, results, fileStates);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result that no longer ends a run must not change the caller's lists either.
    if (ok && state == Running) {
        target->downloadList = results.downloadList;
        target->replaceList = results.replaceList;
        target->deleteList = results.deleteList;
        target->directoryList = results.directoryList;
        target->dropDirectoryList = results.dropDirectoryList;
    }
    // The caller's lists are the only ones now: the run's own copy would keep them in memory for
    // as long as this task exists, after the caller let go of them.
    results.clear();
    ASyncTaskSpecification::runDone(ok);
}
