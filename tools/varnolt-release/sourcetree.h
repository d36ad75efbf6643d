#pragma once

#include <QString>
#include <QStringList>

/// The client tree to publish, walked once: every entry is either taken (a file, or a directory
/// that holds nothing) or named as a problem, so that no release silently lacks a part of it.
///
/// A link is taken only while it leads to something inside the tree: a file link is published
/// with its target's content, a directory link (with followDirLinks) as a directory of its own.
/// A link whose target lies outside the tree, by an absolute target, by ".." or through a chain
/// of links, is always a problem: publishing it would sign and ship whatever the build machine
/// holds there. Every message about a link names the link by its path within the tree and its
/// own text, and says where it leads.
class SourceTree
{
public:
    SourceTree(const QString &root, bool followDirLinks);

    /// Walks the tree. False when the root is not a directory or some entry cannot be published
    /// (see problems()).
    bool collect();

    /// Relative paths of the files to publish, sorted.
    QStringList files() const { return fileList; }
    /// Relative paths of the directories that hold nothing, sorted; the directories above them
    /// are implied.
    QStringList emptyDirectories() const { return emptyList; }
    /// One line per entry that cannot be published.
    QStringList problems() const { return problemList; }

private:
    void walk(const QString &absolutePath, const QString &relativePath, QStringList &ancestors);
    // Whether the link entry at absolutePath may be taken; names it as a problem if not.
    bool linkStaysInside(const QString &absolutePath, const QString &relative);
    // Where a resolved path lies, for messages: relative to the tree when inside it.
    QString shown(const QString &resolved) const;

    QString root;
    QString canonicalRoot;
    bool followDirLinks;
    QStringList fileList;
    QStringList emptyList;
    QStringList problemList;
};
