#pragma once

#include "manifest/releasebinding.h"
#include "manifest/releasedirectories.h"

#include <QList>
#include <QSet>
#include <QString>

/// Writes a product ini: the signed manifest that tells the updater which files make up one
/// version of the client for one client type.
///
/// Entries are collected with addFile(), addPackedFile() and addDelete() and written in one go
/// by write(), through QSettings in INI format - the same reader the updater uses - so every
/// name is escaped the way the updater unescapes it. write() then reads the file back and
/// fails unless every entry reads back exactly as added.
///
/// Format (one file section per mirror directory, plus the section "delete"):
///
///     [SECTION]
///     KEY=MD5::SIZE                                   ; installed as stored, at KEY
///     KEY=MD5::SIZE::UNZIPMD5::UNZIPSIZE::UNZIPPATH   ; gzip, unpacked to UNZIPPATH
///     [delete]
///     PATH=                                           ; removed from the installation
///
/// preceded by the release binding's keys and the release's directories (ReleaseDirectories)
/// outside any section, when they are set.
///
/// A file entry's stored file lies at SECTION/KEY below the version directory on the mirrors.
/// Paths are relative to the installation directory and use "/".
class ProductIniWriter
{
public:
    /// The section that lists files to remove; no file section may have this name.
    static const QString DELETE_SECTION;

    ProductIniWriter() = default;

    /// An empty text if name can be a file section, else why not: it must be non-empty,
    /// contain no "/" or "\", and be neither "delete" nor "General" (QSettings keeps keys of
    /// a General section outside any section).
    static QString checkSectionName(const QString &name);

    /// An empty text if path can name a file in the ini, else why not: a non-empty relative
    /// path in clean form ("a/b", not "/a", "a//b", "./a", "a/../b" or "a/"), without "\" (the
    /// reader turns it into "/"), without "::" (the value separator) and without control
    /// characters.
    static QString checkRelativePath(const QString &path);

    /// Adds a file installed exactly as stored. Returns false (see errorString()) for an invalid
    /// section or path, a malformed MD5 text, or a key already added to the section.
    bool addFile(const QString &section, const QString &filePath, const QString &md5, quint64 size);

    /// Adds a gzip-compressed stored file that the updater unpacks to unzipFilePath; md5 and
    /// size describe the stored (compressed) file, unzipMd5 and unzipSize the unpacked one.
    /// Returns false as addFile() does, also for an invalid unzipFilePath.
    bool addPackedFile(const QString &section, const QString &filePath, const QString &md5,
                       quint64 size, const QString &unzipMd5, quint64 unzipSize,
                       const QString &unzipFilePath);

    /// Adds a file of the installation to remove. Returns false for an invalid path; a path
    /// added twice is kept once.
    bool addDelete(const QString &filePath);

    /// Binding keys to write outside any section (ReleaseBinding); without a call, none.
    void setBinding(const ReleaseBinding &releaseBinding) { binding = releaseBinding; }

    /// The directories to write outside any section. Returns false (see errorString()) for a path
    /// that checkRelativePath() refuses.
    bool setDirectories(const ReleaseDirectories &releaseDirectories);

    /// Number of file entries (both kinds) added so far.
    int fileCount() const;

    /// Number of delete entries added so far.
    int deleteCount() const;

    /// Writes all entries to a new file at path, replacing any file there, and checks that it
    /// reads back as written. Returns false (see errorString()) if nothing was added, the file
    /// cannot be written, or it does not read back.
    bool write(const QString &path);

    /// Why the last failing call failed.
    QString errorString() const;

private:
    struct Entry
    {
        QString section;
        QString key;
        QString value;
    };

    bool checkMd5(const QString &md5);
    bool addEntry(const QString &section, const QString &key, const QString &value);
    bool takeName(const QString &section, const QString &key);
    bool fail(const QString &text);
    bool readsBack(const QString &path);

    QList<Entry> entries;
    ReleaseBinding binding;
    ReleaseDirectories directories;
    QSet<QString> names;
    QString error;
};
