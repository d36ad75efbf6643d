#include "manifest/directoryplan.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <functional>

#include <sys/stat.h>

DirectoryPlan::Outcome DirectoryPlan::make(const ReleaseDirectories &directories,
                                           const QString &installDir,
                                           const QSet<QString> &destinations,
                                           FileSpecifications *results, QString *path)
{
    for (const QString &directory : directories.empty) {
        *path = directory;
        if (destinations.contains(directory))
            return FileAndDirectory;
        // A link to a directory serves, as it does for the directories above files.
        const QFileInfo installed(installDir + QLatin1Char('/') + directory);
        if (installed.isDir())
            continue;
        if (installed.exists() || installed.isSymLink())
            return NotADirectory;
        results->directoryList.append(directory);
    }
    path->clear();
    const QSet<QString> kept(directories.empty.cbegin(), directories.empty.cend());
    QSet<QString> dropping;
    const auto dropIfDirectory = [&](const QString &directory) {
        struct stat info;
        if (!dropping.contains(directory)
            && ::lstat(QFile::encodeName(installDir + QLatin1Char('/') + directory).constData(),
                       &info)
                == 0
            && S_ISDIR(info.st_mode)) {
            dropping.insert(directory);
            results->dropDirectoryList.append(directory);
        }
    };
    for (const QString &directory : directories.dropped) {
        if (!kept.contains(directory))
            dropIfDirectory(directory);
    }
    // The directories a deleted file leaves behind go with it, as if the release had dropped
    // them, unless the release keeps something there: removed only when nothing is left in them.
    QSet<QString> held;
    const auto holdAbove = [&held](const QString &entry) {
        for (qsizetype slash = entry.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = entry.lastIndexOf(QLatin1Char('/'), slash - 1)) {
            // Whoever put a directory in also put in everything above it.
            if (held.contains(entry.left(slash)))
                break;
            held.insert(entry.left(slash));
        }
    };
    // Only deletions need to know: a run with nothing to delete, the usual one, does not walk
    // the directories of every file.
    if (!results->deleteList.isEmpty()) {
        for (const QString &destination : destinations)
            holdAbove(destination);
        for (const QString &directory : directories.empty) {
            held.insert(directory);
            holdAbove(directory);
        }
    }
    for (const QString &deleted : std::as_const(results->deleteList)) {
        for (qsizetype slash = deleted.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = deleted.lastIndexOf(QLatin1Char('/'), slash - 1)) {
            const QString directory = deleted.left(slash);
            if (held.contains(directory))
                break;
            dropIfDirectory(directory);
        }
    }
    // A directory sorts before those below it: backwards, each comes after its subdirectories,
    // which may have been all it held.
    std::sort(results->dropDirectoryList.begin(), results->dropDirectoryList.end(),
              std::greater<QString>());
    return Planned;
}
