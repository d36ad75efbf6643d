#pragma once

#include "fileops/rollbackdatalist.h"
#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

class Configuration;
class FileStateCache;

// Installs one downloaded file: the installed file gets its old-copy name as
// a second name (a hard link), the new one is copied or unpacked out of sight
// and renamed over the installed one in one step, so the name is never
// missing (and an unpacked file is checked against its MD5). Executables get
// their mode before they take their name. The replacement keeps its own
// journal: a failure undoes its changes at once; on success the records go to
// the installation journal of the whole replace list and the old copy is
// queued for deletion (unless it is one of the updater's own files). Ends
// every run with exactly one finished() or canceled(), never inside execute().
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const FileReplaceSpecification &replaceSpec,
                                 QList<QString> *oldFilesToDelete, RollbackDataList *installJournal,
                                 Configuration *configuration, QObject *parent,
                                 double parentProgressRange);

    void execute() override;
    // Deletes the steps and undoes this replacement's own changes, as far as
    // they have not been handed to the installation journal on success.
    void reset() override;

    // Told of the installed file once this replacement has succeeded, while its state is still
    // the one the installation gave it; not owned, may be null.
    void setFileStateCache(FileStateCache *cache) { fileStates = cache; }

    // Whether the file is one that gets rwxr-xr-x: an executable of the
    // client or the updater, or a shared library. Everything else keeps the
    // mode the copy or unpacking gives it.
    static bool isExecutable(const QString &path);

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();

    FileReplaceSpecification replaceSpec;
    QList<QString> *oldFilesToDelete;
    RollbackDataList *installJournal;
    RollbackDataList ownJournal;
    Configuration *configuration;
    FileStateCache *fileStates = nullptr;
    bool movedAside = false;
};
