#pragma once

#include "manifest/filespecifications.h"
#include "manifest/filestatecache.h"
#include "tasks/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root task of one update run: product ini, lists, downloads,
// installation and deletion, strictly one after another. It owns the file
// lists that the steps hand to each other. Its outcome, progress and log are
// the run's.
//
// Once the replace step has committed the installation, the run is no longer
// cancelled: the delete step that follows removes the old copies in
// milliseconds, and the run ends as finished. A cancel that reached the run
// earlier and still let the replace step commit (its last replacement was
// already running) is dropped at the commit for the same reason.
//
// A run that fetched its release's metadata keeps it in the installation (KeptRelease): a run
// that installs or deletes anything replaces the kept copy as one more file of the installation,
// under its journal, so that the copy always describes the installed files; a run that changes
// nothing writes it at its successful end.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *networkManager, Mirrors *mirrors,
                          Configuration *configuration, QObject *parent,
                          double parentProgressRange);

    // Builds the five steps anew and starts the first.
    void execute() override;
    // Deletes the steps and empties the lists.
    void reset() override;
    // Ignored once the installation is committed.
    void userCanceled() override;

    const FileSpecifications &getFileSpecifications() const { return fileSpecifications; }

    // Saves the file-state cache if it changed; false with @p problem when it could not be.
    // Only once the run has ended (and its session files are gone: removing a download's
    // session name changes the status-change time of the installed file it shares).
    bool saveFileStates(QString *problem) { return fileStates.save(problem); }

signals:
    // The lists are built and there is something to download: the session
    // is worth recording before the first byte arrives.
    void downloadsStarting();

protected:
    // Every step has ended: the lists go before the run's end is reported, so that what follows
    // it (saving the file-state cache, the next run) does not find them still in memory.
    void subtasksDone() override;

private slots:
    void onInstallationCommitted();
    void onListsBuilt();
    void onDownloadsDone();

private:
    void makeSubtasksAndStart();
    // Writes the kept copy of this run's release (KeptRelease) to @p destination; false after a
    // message when it could not be written.
    bool keepRelease(const QString &destination);

    QNetworkAccessManager *networkManager;
    Mirrors *mirrors;
    Configuration *configuration;
    FileSpecifications fileSpecifications;
    FileStateCache fileStates;
    TaskSpecification *deleteStep = nullptr;
    bool committed = false;
    // The run changes nothing in the installation and fetched its release's metadata: the kept
    // copy is written once the run has succeeded.
    bool keepAtEnd = false;
};
