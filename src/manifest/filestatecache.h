#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>

#include <QString>
#include <array>

#include <sys/types.h>

struct stat;

/**
 * @class FileStateCache
 * @brief What the updater last learned of each installed file: its identity, times and MD5.
 *
 * A launcher starts the updater at every start of the client; reading every installed byte to
 * learn that nothing changed would make each start wait for the disk. The cache, one file
 * ("update.state") in the installation directory, remembers for every file whose MD5 was
 * computed or just installed its inode, size, modification and status-change times in
 * nanoseconds and its MD5, so that a file whose lstat() says exactly the same later can be
 * taken to hold the same bytes.
 *
 * Trust needs all of: the same device as the installation directory, the same inode, size,
 * mtime and ctime, and both times strictly older than the moment the entry was made (its
 * stamp), measured by the file system's own clock. A change that lands in the same clock tick
 * as the file's recorded times could leave them unchanged, so a file still that fresh is hashed
 * again rather than trusted. Rewriting a file always changes its ctime (which no tool can set),
 * so restoring the mtime does not hide a change; a copy with preserved times is a new inode.
 *
 * A cache written for another directory, another format, cut short or damaged is ignored as a
 * whole: every file is then hashed, as without a cache. Saving writes a new file out of sight,
 * syncs it and renames it over the old one, and only when the content changed.
 *
 * Not thread-safe for writing; lookups (trustedMd5()) may run on several threads at once while
 * nothing writes. Files of the installation only, by paths relative to it.
 */
class FileStateCache
{
public:
    /// The cache's file name in the installation directory.
    static QString fileName();

    /// Largest cache file read, room for some 400,000 files: a larger one would cost the memory
    /// and the start of every run. It is ignored as a whole and replaced by the next save.
    static constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

    explicit FileStateCache(const QString &installDir);

    /**
     * Reads the cache file. True when it was read; otherwise it is empty and @p problem says
     * why in one line (no file yet, damaged, foreign...). An empty cache hashes everything.
     */
    bool load(QString *problem);

    /// Starts from no entries, to be written anew at the next save() even if nothing is learned:
    /// for a run that reads every file whatever the cache says.
    void renewAll();

    /**
     * The MD5 (16 raw bytes) recorded for @p path when @p now (its lstat()) matches the entry
     * and is older than the entry's stamp; empty when the file must be hashed.
     */
    QByteArray trustedMd5(const QString &path, const struct stat &now) const;

    /// The number of files the cache has entries for.
    qsizetype size() const { return records.size(); }

    /// Whether @p info describes a file whose state the cache can hold (a regular file on the
    /// installation's device).
    bool canRecord(const struct stat &info) const;

    /**
     * Records that the file at @p path, in the state @p info, holds bytes with the MD5
     * @p md5 (16 raw bytes), as learned by reading it after a clock reading of @p stamp
     * (fileSystemNow()). Files canRecord() refuses are not recorded.
     */
    void learn(const QString &path, const struct stat &info, const QByteArray &md5, qint64 stamp);

    /// The file at @p path is no longer known; e.g. it is about to be replaced or deleted.
    void forget(const QString &path);

    /// Drops every entry whose path is not in @p paths: the cache follows the current release.
    void keepOnly(const QSet<QString> &paths);

    /**
     * The file at @p path is about to be installed with the MD5 text @p md5; installed()
     * notes when it has been, committed() once the whole installation is.
     */
    void expectInstall(const QString &path, const QString &md5);
    /// Looks at the just-installed file at @p path; its entry is made when saving, after the
    /// installation was committed, if the file has not changed meanwhile.
    void installed(const QString &path);
    void committed() { installationCommitted = true; }

    /**
     * Writes the cache if its content changed: new file, fdatasync, rename, directory sync.
     * False with @p problem set when it could not be written; the old file then stays, or none.
     */
    bool save(QString *problem);

    /// Removes the cache file of @p installDir, e.g. after the installation was repaired by
    /// other means than this program's comparison. True when no cache file remains.
    static bool discard(const QString &installDir);

    /**
     * The current time of the file system holding @p directory, in nanoseconds, read from
     * the times of a new unnamed file there: the clock and granularity every change of a file
     * in that directory is stamped with. Falls back to the system clock less two seconds (the
     * coarsest granularity of a usable file system) when no such file can be made.
     */
    static qint64 fileSystemNow(const QString &directory);

private:
    struct Record
    {
        qint64 stamp = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 mtime = 0;
        qint64 ctime = 0;
        std::array<char, 16> md5 {};
        // Announced by expectInstall(), not yet vouched for; installed() fills in the state.
        bool pending = false;
        bool installed = false;
    };

    bool parse(const QByteArray &data, QString *problem);
    bool writeTo(int fd) const;
    void recordInstalled();
    bool rootIdentity(quint64 *device, quint64 *inode) const;
    QString path() const;

    QString installDir;
    quint64 rootDevice = 0;
    quint64 rootInode = 0;
    bool rootKnown = false;
    QHash<QString, Record> records;
    bool changed = false;
    bool installationCommitted = false;
};
