#pragma once

#include "fileops/rollbackdatalist.h"
#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

class Configuration;

// Installs every file of the replace list as one unit: missing directories
// first, then the replacements, two at a time, all recorded in one
// installation journal. If anything fails or the user cancels, every change
// of every replacement and every created directory is undone, newest first.
// Ends every run with exactly one finished() or canceled(); an empty replace
// list finishes inside execute().
//
// Reads its lists when it executes: they are filled by an earlier step.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaceList,
                                     QList<QString> *oldFilesToDelete, Configuration *configuration,
                                     QObject *parent, double parentProgressRange);

    void execute() override;
    // Deletes the steps and undoes whatever an installation that did not
    // finish left recorded; a finished installation is committed and stays.
    void reset() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool haveDirTasks);

    QList<FileReplaceSpecification> *replaceList;
    QList<QString> *oldFilesToDelete;
    RollbackDataList installJournal;
    Configuration *configuration;
};
