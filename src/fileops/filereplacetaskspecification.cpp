#include "fileops/filereplacetaskspecification.h"

#include "app/configuration.h"
#include "fileops/filecopytaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/fileunziptaskspecification.h"
#include "fileops/stagedfile.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/filespecifications.h"
#include "manifest/filestatecache.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

constexpr double FastStepShare = 0.1;
constexpr double CheckShare = 0.2;
// Executable for everybody, writable by the owner only: a client binary or
// library that any local user could rewrite would run their code in the next
// user's client. Replacing it later never writes into the file (a new file
// takes its name), so no more is needed.
constexpr mode_t ExecutableMode = 0755;

QString installed(const QString &relative)
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + relative;
}

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(
    const FileReplaceSpecification &replaceSpec, QList<QString> *oldFilesToDelete,
    RollbackDataList *installJournal, Configuration *configuration, QObject *parent,
    double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent),
      replaceSpec(replaceSpec),
      oldFilesToDelete(oldFilesToDelete),
      installJournal(installJournal),
      configuration(configuration)
{
    // Every change of this replacement is written ahead to the
    // installation's journal on disk, like the installation's own.
    ownJournal.setDiskJournal(installJournal->diskJournal());
}

void FileReplaceTaskSpecification::execute()
{
    emit message(tr("add/replace %1").arg(replaceSpec.filePath));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString newFile = installed(replaceSpec.destFileName(QString()));
    const QString oldFile = installed(replaceSpec.oldDestFileName());
    const QString sourceFile = configuration->tempDir + QLatin1Char('/') + replaceSpec.filePath;
    double remaining = 1.0;

    // Looked at now, not at construction: an earlier replacement of the same
    // run may have changed the installation since.
    if (QFileInfo::exists(newFile) || QFileInfo(newFile).isSymLink()) {
        if (QFileInfo::exists(oldFile) || QFileInfo(oldFile).isSymLink()) {
            // Left over from an earlier run; the name is needed again.
            addSubTask(new FileDeleteTaskSpecification(true, oldFile, this, FastStepShare));
            remaining -= FastStepShare;
        }
        // The old copy is a second name of the installed file: the file
        // stays under its own name until the new one replaces it in one step.
        movedAside = true;
        addSubTask(new FileRenameTaskSpecification(newFile, oldFile, &ownJournal, this,
                                                   FastStepShare,
                                                   FileRenameTaskSpecification::LinkAside));
        remaining -= FastStepShare;
    }
    // The unpacked content of a compressed file that was put together from blocks was checked
    // by its MD5 and SHA-256 once it was made, as any download: it is installed as it is.
    const QString unpackedSource
        = sourceFile + QLatin1String(FileDownloadSpecification::UnpackedSuffix);
    const bool unpackedBefore = replaceSpec.hasUnzip() && QFileInfo(unpackedSource).isFile()
        && !QFileInfo(unpackedSource).isSymLink();
    SlowFileOpSpecification *put;
    if (unpackedBefore)
        put = new FileCopyTaskSpecification(&ownJournal, unpackedSource, newFile, this, remaining);
    else if (replaceSpec.hasUnzip())
        put = new FileUnzipTaskSpecification(&ownJournal, sourceFile, newFile, this,
                                             remaining - CheckShare);
    else
        put = new FileCopyTaskSpecification(&ownJournal, sourceFile, newFile, this, remaining);
    put->setPlacement(movedAside ? StagedFile::Replace : StagedFile::CreateOnly);
    // Executables never appear under their name without their mode.
    if (isExecutable(newFile))
        put->setMode(ExecutableMode);
    addSubTask(put);
    if (replaceSpec.hasUnzip() && !unpackedBefore)
        addSubTask(new CheckSignatureTaskSpecification(newFile, replaceSpec.unzipMd5, true, this,
                                                       CheckShare));
    state = Running;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == Finished) {
        // From now on the installation journal alone undoes these changes.
        // Kept here as well, a reset of this finished replacement would undo
        // them a second time, and that undo would delete the file that the
        // first one had put back under the installed name.
        installJournal->appendList(ownJournal);
        ownJournal.clear();
        if (fileStates)
            fileStates->installed(replaceSpec.pureDestFilePath());
        const QString name = QFileInfo(replaceSpec.pureDestFilePath()).fileName();
        // The updater's own files may still be in use by this very process;
        // their old copies go at the next start.
        if (movedAside && !configuration->isSpecialFileName(name))
            oldFilesToDelete->append(replaceSpec.oldDestFileName());
        // Executables already have their mode: it was set before the file
        // took its name.
    } else {
        ownJournal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    ownJournal.rollback(this);
    movedAside = false;
    TaskSpecification::reset();
}

bool FileReplaceTaskSpecification::isExecutable(const QString &path)
{
    const QFileInfo info(path);
    return Configuration::getExecutableFiles().contains(info.fileName())
        || Configuration::getExecutableSuffixes().contains(info.completeSuffix());
}
