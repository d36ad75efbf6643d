#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One file to fetch from the mirrors: it lies at section "/" filePath below
// the mirror's versioned base URL and goes to the same filePath in the
// session's temporary directory.
struct FileDownloadSpecification
{
    // Appended to the temporary path of a file stored compressed, names where its unpacked
    // content lies when it was put together from blocks rather than downloaded: "::" separates
    // a manifest entry's fields, so no product file has such a name.
    static constexpr char UnpackedSuffix[] = "::unpacked";

    QString section;
    QString filePath;
    QString md5; // of the file as stored on the mirror
    quint64 size = 0; // of the file as stored on the mirror
    // Stored compressed: what is installed is its unpacked content, never the download itself.
    bool unpacked = false;
    // Raw SHA-256 of the stored file from the release's side file; empty for a release
    // published without one, whose files are checked by their MD5 alone.
    QByteArray sha256 {};
    // For a file of which an older version is installed and whose release lists its blocks:
    // the installed file (absolute) and the side file's "blocks" line, so that only the blocks
    // the installed file lacks are fetched. Both empty otherwise.
    QString installedPath {};
    QByteArray blockLine {};
    // For a file stored compressed, also the access points of the stored file (a "points"
    // line), and the MD5 (from the ini) and raw SHA-256 (from the side file) of its unpacked
    // content, which the delta puts together.
    QByteArray pointsLine {};
    QString unpackedMd5 {};
    QByteArray unpackedSha256 {};
    // For a release with a digests file, where blockLine is empty: the raw SHA-256 and size of
    // the file's block list file (SideFile::listPathOf()), fetched as the file's work starts
    // when it is put together from blocks or segments. Empty when the file has no list.
    QByteArray listSha256 {};
    qint64 listSize = 0;
};

// One downloaded file to install. Files stored gzip-compressed carry the
// path, MD5 and size of their unpacked content.
struct FileReplaceSpecification
{
    QString section;
    QString filePath;
    QString unzipMd5;
    quint64 unzipSize = 0;
    QString unzipFilePath;

    bool hasUnzip() const { return !unzipFilePath.isEmpty(); }
    // The installed path, relative to the installation directory.
    QString pureDestFilePath() const { return hasUnzip() ? unzipFilePath : filePath; }
    // The installed path with prefix put in front of its file name
    // ("lib/libx.so" with "_old_" gives "lib/_old_libx.so").
    QString destFileName(const QString &prefix) const;
    // Where the replaced installed file is kept while the update may still
    // be rolled back.
    QString oldDestFileName() const;
};

// The lists that one run works through: what to download, what to install,
// what to delete, and the directories to create and to remove. Each path is relative to the
// installation directory.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
    // The release's empty directories that the installation lacks, to create with the others.
    QList<QString> directoryList;
    // Directories the release no longer has, present in the installation, deepest first: each
    // is removed after the deletions if it is empty.
    QList<QString> dropDirectoryList;

    // Lets go of the lists' memory. (QList::clear() keeps the capacity, and for a list still
    // shared with another holder it allocates that capacity anew.)
    void clear()
    {
        downloadList = {};
        replaceList = {};
        deleteList = {};
        directoryList = {};
        dropDirectoryList = {};
    }
};
