#include "sourcetree.h"

#include "manifest/productiniwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace {

// Names in the directory that do not survive decoding as UTF-8. The directory listing of Qt
// leaves them out without a word, so the raw names are read here.
QStringList undecodableNames(const QString &directory)
{
    QStringList names;
    DIR *dir = ::opendir(QFile::encodeName(directory).constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (QFile::encodeName(QFile::decodeName(raw)) != raw)
            names.append(QFile::decodeName(raw));
    }
    ::closedir(dir);
    names.sort();
    return names;
}

// The link's own text, as the publisher wrote it (QFileInfo only tells the resolved path).
QString linkText(const QString &path)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(length)));
}

} // namespace

SourceTree::SourceTree(const QString &root, bool followDirLinks)
    : root(root), followDirLinks(followDirLinks)
{
}

bool SourceTree::collect()
{
    const QFileInfo rootInfo(root);
    if (!rootInfo.isDir()) {
        problemList.append(QStringLiteral("%1 is not a directory").arg(root));
        return false;
    }
    canonicalRoot = rootInfo.canonicalFilePath();
    QStringList ancestors;
    walk(rootInfo.absoluteFilePath(), QString(), ancestors);
    fileList.sort();
    emptyList.sort();
    return problemList.isEmpty();
}

void SourceTree::walk(const QString &absolutePath, const QString &relativePath,
                      QStringList &ancestors)
{
    ancestors.append(QFileInfo(absolutePath).canonicalFilePath());
    const QFileInfoList entries
        = QDir(absolutePath)
              .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDir::Name);
    const QStringList undecodable = undecodableNames(absolutePath);
    for (const QString &name : undecodable) {
        problemList.append(
            QStringLiteral("name is not valid UTF-8: %1")
                .arg(relativePath.isEmpty() ? name : relativePath + QLatin1Char('/') + name));
    }
    if (entries.isEmpty() && undecodable.isEmpty() && !relativePath.isEmpty()) {
        const QString problem = ProductIniWriter::checkRelativePath(relativePath);
        if (problem.isEmpty())
            emptyList.append(relativePath);
        else
            problemList.append(QStringLiteral("cannot publish a directory: ") + problem);
    }

    for (const QFileInfo &entry : entries) {
        const QString relative = relativePath.isEmpty()
            ? entry.fileName()
            : relativePath + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink() && !linkStaysInside(entry.absoluteFilePath(), relative))
            continue;
        if (entry.isDir()) {
            if (entry.isSymLink() && !followDirLinks) {
                problemList.append(QStringLiteral("directory link: %1 -> %2 (leads to %3; pass "
                                                  "--follow-dir-links to publish its contents)")
                                       .arg(relative, linkText(entry.absoluteFilePath()),
                                            shown(entry.canonicalFilePath())));
                continue;
            }
            if (ancestors.contains(entry.canonicalFilePath())) {
                problemList.append(QStringLiteral("directory link loop: %1 -> %2 (leads to %3)")
                                       .arg(relative, linkText(entry.absoluteFilePath()),
                                            shown(entry.canonicalFilePath())));
                continue;
            }
            walk(entry.absoluteFilePath(), relative, ancestors);
            continue;
        }
        if (!entry.isFile()) {
            problemList.append(QStringLiteral("not a regular file: %1").arg(relative));
            continue;
        }
        const QString problem = ProductIniWriter::checkRelativePath(relative);
        if (!problem.isEmpty()) {
            problemList.append(QStringLiteral("cannot publish a file: ") + problem);
            continue;
        }
        fileList.append(relative);
    }
    ancestors.removeLast();
}

bool SourceTree::linkStaysInside(const QString &absolutePath, const QString &relative)
{
    const QString text = linkText(absolutePath);
    // The whole chain resolved: a link to a link that leaves the tree leaves it too.
    const QString resolved = QFileInfo(absolutePath).canonicalFilePath();
    if (resolved.isEmpty()) {
        problemList.append(QStringLiteral("dangling link: %1 -> %2").arg(relative, text));
        return false;
    }
    if (resolved == canonicalRoot || resolved.startsWith(canonicalRoot + QLatin1Char('/')))
        return true;
    problemList.append(QStringLiteral("link leaves the source tree: %1 -> %2 (leads to %3)")
                           .arg(relative, text, resolved));
    return false;
}

QString SourceTree::shown(const QString &resolved) const
{
    if (resolved == canonicalRoot)
        return QStringLiteral("the top of the tree");
    return resolved.startsWith(canonicalRoot + QLatin1Char('/'))
        ? resolved.mid(canonicalRoot.size() + 1)
        : resolved;
}
