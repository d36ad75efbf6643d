#include "fileops/filedeletelisttaskspecification.h"

#include "app/configuration.h"
#include "fileops/dirremovetaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/installjournal.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString> *deleteList,
                                                                 QObject *parent,
                                                                 double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent), deleteList(deleteList)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(tr("Starting file deletes"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    const qsizetype directories = dropDirectoryList ? dropDirectoryList->size() : 0;
    const double share = 1.0 / double(deleteList->size() + directories);
    for (const QString &entry : qAsConst(*deleteList))
        addSubTask(new FileDeleteTaskSpecification(false, root + entry, this, share));
    // One step at a time, in this order: a directory is empty only once the files are gone.
    for (qsizetype i = 0; i < directories; ++i)
        addSubTask(new DirRemoveTaskSpecification(root + dropDirectoryList->at(i), this, share));
    state = Running;
    executeSubTasks();
}

void FileDeleteListTaskSpecification::subtasksDone()
{
    if (installJournal && installJournal->isCommitted() && getStateFromSubTasks() == Finished)
        installJournal->remove();
    ComposedTaskSpecification::subtasksDone();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
