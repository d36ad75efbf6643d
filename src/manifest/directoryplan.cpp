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
    for (const QString &directory : directories.dropped) {
        struct stat info;
        if (!kept.contains(directory)
            && ::lstat(QFile::encodeName(installDir + QLatin1Char('/') + directory).constData(),
                       &info)
                == 0
            && S_ISDIR(info.st_mode))
            results->dropDirectoryList.append(directory);
    }
    // A directory sorts before those below it: backwards, each comes after its subdirectories,
    // which may have been all it held.
    std::sort(results->dropDirectoryList.begin(), results->dropDirectoryList.end(),
              std::greater<QString>());
    return Planned;
}
