#pragma once

#include "manifest/filespecifications.h"
#include "manifest/releasedirectories.h"
#include "manifest/strongdigests.h"
#include "tasks/asyncfunc.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

class Configuration;
class FileStateCache;
class QIODevice;
class QSettings;
class QThreadPool;

// The work of one run of MakeDownloadReplaceListTaskSpecification, on a pool thread: reads the
// product ini (temporary directory, "/", client type, ".ini") and fills the task's results.
//
// Sections and their keys are handled in the order the settings reader lists them. The section
// "delete" names installed paths to remove; every other section names product files, each
// value being MD5::SIZE or MD5::SIZE::UNZIPMD5::UNZIPSIZE::UNZIPPATH. A file whose installed
// copy has the right MD5 goes into no list; any other goes into the replace list, and into the
// download list too unless the temporary directory already holds a copy with the right MD5.
// The release's directories (ReleaseDirectories) go into the directory lists (DirectoryPlan).
//
// The installed and temporary copies are hashed on QThread::idealThreadCount() threads, a batch
// of files at a time; the lists and the progress steps come out in the order of the keys.
// With a file-state cache, an installed file whose lstat() matches its entry is not read: its
// MD5 is the one recorded. Every file that is read renews its entry; files about to be
// replaced are announced to the cache, which learns them once installed.
//
// Must be created on the main thread: the paths it needs are taken from the configuration
// there, so that run() shares nothing with the main thread. The installed and temporary files
// are only read, the product ini is never written.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // results belongs to the task; this object is its only writer until run() has returned.
    // fileStates (may be null: every file is read) is loaded, consulted and updated by run();
    // nothing else may touch it meanwhile. With the configuration's verifyAll it is not
    // consulted but renewed from what every file holds.
    MakeDownloadReplaceListFunc(Configuration *configuration, FileSpecifications &results,
                                FileStateCache *fileStates = nullptr);

    // Clears results and builds the three lists into them. True on success; on failure the
    // reason was sent through message() and results holds a partial, meaningless state.
    // Sends progress() after every key that moves it by a thousandth, reaching 1 with the last.
    bool run() override;

    // The number of keys in all sections the reader lists, the "delete" section included;
    // keys outside any section are not counted.
    int getFileCount(QSettings &settings);

private:
    // One key of the product ini, checked and waiting for the hashes that decide its lists.
    struct Entry
    {
        bool isDelete = false;
        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        // Relative to the installation directory.
        QString destination;
        QString installedMd5;
        // Filled by the hashing threads, each entry by one of them.
        bool installedMatches = false;
        bool tempMatches = false;
        // The raw SHA-256 of a matching temporary copy, for a release with a side file.
        QByteArray tempSha256;
        bool isDirectory = false;
    };

    // The work of one hashing thread on one entry, and what reading the installed file taught
    // about it, for its cache entry.
    struct Learned
    {
        Entry *entry = nullptr;
        // The cache vouched for the installed file: it has an entry for it.
        bool trusted = false;
        bool valid = false;
        struct stat info;
        QByteArray md5;
    };

    bool handleFileEntry(const QString &section, const QString &key, const QString &value,
                         Entry &entry);
    // Checks one key of the ini and appends its entry; false after a message.
    bool addEntry(const QString &section, const QString &key, const QString &value,
                  QList<Entry> &entries);
    // The ini in any form the settings reader takes (readEntries() reads the plain one itself).
    bool readEntriesWithSettings(QList<Entry> &entries);
    // Checks the paths of the release's directories; false after a message.
    bool checkDirectories();
    bool handleDeleteEntry(const QString &key);
    void hashBatch(QThreadPool &pool, QList<Entry> &entries, qsizetype begin, qsizetype end,
                   QList<Learned> &learned) const;
    void compare(Learned &lesson) const;
    void loadFileStates();
    // Tells the cache what the comparison of @p entry found.
    void updateFileStates(const Entry &entry, const Learned &learned);
    // Whether the installed file of @p entry, at @p path in the state @p now, has its expected
    // MD5, through the cache where it can vouch for the file.
    bool installedMatches(const Entry &entry, const QString &path, const struct stat &now,
                          Learned *learned) const;
    // Takes what the lists need out of @p entry.
    void placeEntry(Entry &entry);
    bool readEntries(QList<Entry> &entries);
    // An empty section stands for the release's directories.
    bool checkPath(const QString &path, const QString &section);
    // Fills the directory lists from the release's directories; false after a message when the
    // installation holds something else where one is to be.
    bool placeDirectories();
    bool deletesInstalledFile();
    // Puts into the delete list the files of the installed release (its kept product ini) that
    // this release does not install and the installation still has, and its empty directories
    // among the dropped ones.
    void addInstalledLeftovers();
    static bool fileMatches(const QString &path, const QString &md5);
    // Whether the temporary copy at path has the MD5 md5; its SHA-256 goes to sha256 when asked.
    static bool tempMatches(const QString &path, const QString &md5, QByteArray *sha256);
    // Gives the downloads and the reused temporary copies their strong digests (StrongDigests);
    // false after a message when the file of them is unusable or lacks a file.
    bool attachStrongDigests();

    Configuration *configuration;
    FileSpecifications &results;
    FileStateCache *fileStates;
    bool verifyAll;
    // The file system's time before the first installed file was looked at.
    qint64 stamp = 0;

    // Taken from the configuration on the main thread.
    QString installDir;
    // The installation directory, open while the files are compared; -1 otherwise.
    int installFd = -1;
    QString tempDir;
    QString productIniPath;
    QString installedIniPath;
    // The release's digests or side file, and the copies of an earlier session that wait for
    // their SHA-256 from it.
    StrongDigests digests;

    // Bookkeeping of one run: every installed path the product ini names, every key already in
    // the download list, and every path the "delete" section names.
    QSet<QString> destinations;
    QSet<QString> downloadKeys;
    QStringList deleteKeys;
    // The directories the product ini names beside its files.
    ReleaseDirectories directories;
};
