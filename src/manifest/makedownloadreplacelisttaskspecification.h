#pragma once

#include "manifest/filespecifications.h"
#include "tasks/asynctaskspecification.h"

class Configuration;
class FileStateCache;

// The step between fetching the product ini and fetching the product files: builds the run's
// download, replace and delete lists from the verified product ini in the session's temporary
// directory, on a pool thread, because every product file already installed or already
// downloaded is read once for its MD5 sum.
//
// Every run starts from empty lists of its own (results) and ends with exactly one finished()
// or canceled(). Only a successful run publishes: the caller's FileSpecifications is replaced
// list by list in runDone(), on the main thread. After a failed run the caller's lists keep
// what they held. Progress follows the entries of the product ini as they are handled.
//
// A run fails (error cancellation, with the reason sent as message()) when the product ini
// lists no files, is malformed, has an entry that is not 2 or 5 "::"-separated parts, or names
// a path that could lead the later steps outside the installation or temporary directory.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // configuration and target are not owned and must outlive the task; target is written only
    // when a run succeeds.
    MakeDownloadReplaceListTaskSpecification(Configuration *configuration,
                                             FileSpecifications &target, QObject *parent,
                                             double parentProgressRange);
    // The work object builds into results; a task destroyed while it runs waits for it.
    ~MakeDownloadReplaceListTaskSpecification() override;

    // The cache of installed files' states the comparison consults and updates (see
    // MakeDownloadReplaceListFunc); not owned. Without one every installed file is read.
    void setFileStateCache(FileStateCache *cache) { fileStates = cache; }

protected:
    ASyncFunc *createFunction() override;
    // On success hands the three lists to the caller, then ends the run as every
    // asynchronous task does.
    void runDone(bool ok) override;

private:
    Configuration *configuration;
    FileSpecifications *target;
    FileStateCache *fileStates = nullptr;
    // Written only by the run's work object, read only once its result has arrived.
    FileSpecifications results;
};
