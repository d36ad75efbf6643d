#include "manifest/makedownloadreplacelistfunc.h"

#include "app/configuration.h"
#include "fileops/sessionfile.h"
#include "manifest/checksigfunc.h"
#include "manifest/directoryplan.h"
#include "manifest/filestatecache.h"
#include "manifest/installedrelease.h"
#include "manifest/plainini.h"
#include "manifest/sidefile.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString PartSeparator = QStringLiteral("::");

// Whether path names something below the directory it is appended to. Every later step joins
// these paths to the installation or temporary directory and writes, moves or deletes there,
// so only clean relative paths are accepted: not absolute, no empty, "." or ".." component
// (which could climb out or name the directory itself) and no control characters (a NUL would
// cut the path short at the system call).
bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    // Component by component without splitting: a release of many files has every path checked.
    for (qsizetype start = 0; start <= path.size();) {
        qsizetype end = path.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = path.size();
        const QStringView part = QStringView(path).sliced(start, end - start);
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
        start = end + 1;
    }
    return true;
}

// Whether nothing changed a file between two looks at it.
bool sameState(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The size fields of a value: text that is not a number counts as 0.
quint64 toSize(const QString &text)
{
    bool ok = false;
    const quint64 size = text.toULongLong(&ok);
    return ok ? size : 0;
}

bool hasBrokenSectionHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[') && !line.endsWith(']'))
            return true;
    }
    return false;
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *configuration,
                                                         FileSpecifications &results,
                                                         FileStateCache *fileStates)
    : configuration(configuration),
      results(results),
      fileStates(fileStates),
      verifyAll(configuration->verifyAll),
      installDir(Configuration::getAppRootPath()),
      tempDir(configuration->tempDir),
      productIniPath(configuration->tempDir + QLatin1Char('/') + configuration->clientType
                     + QLatin1String(".ini")),
      installedIniPath(configuration->installedIniPath),
      digests(configuration->sideFilePath, configuration->blockListsApart,
              configuration->segmentFrom)
{
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings &settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        // Keys holding a "/" (files in subdirectories) are not child keys of the section but
        // keys of its subgroups; allKeys() lists them with the rest.
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    results.clear();
    destinations.clear();
    downloadKeys.clear();
    deleteKeys.clear();
    directories = {};
    digests.clear();

    emit message(tr("Compiling download and replace list"));

    // A pool of its own: this runs on a thread of the global pool, which the hashing must not
    // wait for. Made once and only ever mapped over: its threads stay for the whole comparison
    // (waiting for the pool to be done would end them, and a thread started for every batch
    // costs more than looking at the batch's files through the cache).
    QThreadPool pool;
    pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
    // The cache is read while the manifest is: neither needs the other, and for a large
    // product each takes a good part of a run that finds nothing to do.
    QFuture<void> states = QtConcurrent::run(&pool, [this] { loadFileStates(); });
    const auto statesLoaded = qScopeGuard([&states] { states.waitForFinished(); });

    // The parsed manifest goes before the files are hashed: for a large product it is as large
    // as the lists made from it.
    QList<Entry> entries;
    if (!readEntries(entries))
        return false;
    if (deletesInstalledFile())
        return false;
    if (!installedIniPath.isEmpty())
        addInstalledLeftovers();
    states.waitForFinished();
    installFd = ::open(QFile::encodeName(installDir).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto closeInstallDir = qScopeGuard([this] {
        if (installFd >= 0)
            ::close(installFd);
        installFd = -1;
    });

    // Batches keep the progress moving and bound how far hashing runs ahead of the lists.
    constexpr qsizetype Batch = 2048;
    QList<Learned> learned(Batch);
    // The progress moves in thousandths: finer steps change nothing a user sees, and each one
    // costs an event on the main thread, which for a large product added up to more than
    // looking at its files through the cache.
    qint64 shownStep = -1;
    qsizetype trusted = 0;
    for (qsizetype begin = 0; begin < entries.size(); begin += Batch) {
        const qsizetype end = qMin(entries.size(), begin + Batch);
        hashBatch(pool, entries, begin, end, learned);
        for (qsizetype i = begin; i < end; ++i) {
            const qint64 step = qint64(i + 1) * 1000 / entries.size();
            if (step != shownStep) {
                shownStep = step;
                emit progress(qreal(i + 1) / entries.size());
            }
            const Entry &entry = entries.at(i);
            // Installing moves the installed entry aside; a whole directory would vanish under
            // the file.
            if (entry.isDirectory) {
                emit message(tr("%1 is a directory in the installation").arg(entry.destination));
                return false;
            }
            if (!entry.isDelete) {
                trusted += learned.at(i - begin).trusted ? 1 : 0;
                updateFileStates(entry, learned.at(i - begin));
                placeEntry(entries[i]);
            }
            // Placed: what is still needed lives on in the lists.
            entries[i] = Entry();
        }
    }
    entries = QList<Entry>();
    if (!placeDirectories() || !attachStrongDigests())
        return false;
    // Grown by appending, the lists hold up to half again as much room as they need, for as
    // long as the run lasts.
    results.downloadList.squeeze();
    results.replaceList.squeeze();
    results.deleteList.squeeze();
    results.directoryList.squeeze();
    // Every entry of the cache that vouched for a file of this release is one of its files: when
    // all of them did, the cache holds nothing else (the usual run, with nothing to do).
    if (fileStates && trusted != fileStates->size())
        fileStates->keepOnly(destinations);
    // The parsed manifest was freed on this pool thread, whose allocator keeps freed memory for
    // its own later use; handed back now, it does not add to what the installation needs.
    ::malloc_trim(0);
    return true;
}

bool MakeDownloadReplaceListFunc::readEntries(QList<Entry> &entries)
{
    // The plain form is read without the settings reader, which for many files costs more than
    // the rest of a run that finds nothing to do; anything else goes through it.
    QFile file(productIniPath);
    PlainIni plain;
    if (!file.open(QIODevice::ReadOnly) || !PlainIni::read(file.readAll(), &plain))
        return readEntriesWithSettings(entries);
    file.close();
    qsizetype count = 0;
    for (const PlainIni::Section &section : qAsConst(plain.sections))
        count += section.entries.size();
    if (count == 0) {
        emit message(tr("no files in product ini"));
        return false;
    }
    entries.reserve(count);
    for (PlainIni::Section &section : plain.sections) {
        for (const QPair<QString, QString> &entry : qAsConst(section.entries)) {
            if (!addEntry(section.name, entry.first, entry.second, entries))
                return false;
        }
        // Taken into the entries: what is still needed lives on there.
        section.entries = {};
    }
    directories
        = ReleaseDirectories::fromValues(plain.generalValue(ReleaseDirectories::EmptyKey),
                                         plain.generalValue(ReleaseDirectories::DroppedKey));
    return checkDirectories();
}

bool MakeDownloadReplaceListFunc::readEntriesWithSettings(QList<Entry> &entries)
{
    QSettings settings(productIniPath, QSettings::IniFormat);
    const int count = getFileCount(settings);
    if (count == 0) {
        emit message(tr("no files in product ini"));
        return false;
    }
    // The reader skips lines without "=" (comments, say), as a manifest reader should, but also
    // recovers from a broken section header by guessing the section; a signed manifest whose
    // entries land in a guessed section does not say what its publisher meant.
    if (settings.status() == QSettings::FormatError && hasBrokenSectionHeader(productIniPath)) {
        emit message(tr("product ini %1 is malformed").arg(productIniPath));
        return false;
    }

    // Every key is checked before any file is hashed: a manifest that fails costs no reading.
    entries.reserve(count);
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            if (!addEntry(section, key, settings.value(key).toString(), entries))
                return false;
        }
        settings.endGroup();
    }
    directories = ReleaseDirectories::read(settings);
    return checkDirectories();
}

bool MakeDownloadReplaceListFunc::addEntry(const QString &section, const QString &key,
                                           const QString &value, QList<Entry> &entries)
{
    Entry entry;
    entry.isDelete = section == DeleteSection;
    const bool ok
        = entry.isDelete ? handleDeleteEntry(key) : handleFileEntry(section, key, value, entry);
    if (ok)
        entries.append(std::move(entry));
    return ok;
}

bool MakeDownloadReplaceListFunc::checkDirectories()
{
    for (const QStringList *paths : {&directories.empty, &directories.dropped}) {
        for (const QString &path : *paths) {
            if (!checkPath(path, QString()))
                return false;
        }
    }
    return true;
}

bool MakeDownloadReplaceListFunc::placeDirectories()
{
    QString path;
    switch (DirectoryPlan::make(directories, installDir, destinations, &results, &path)) {
    case DirectoryPlan::Planned:
        return true;
    case DirectoryPlan::FileAndDirectory:
        emit message(tr("product ini has %1 both as a file and as an empty directory").arg(path));
        return false;
    case DirectoryPlan::NotADirectory:
        emit message(tr("%1 is not a directory in the installation").arg(path));
        return false;
    }
    return false;
}

bool MakeDownloadReplaceListFunc::attachStrongDigests()
{
    QString problem;
    QStringList notes;
    const bool attached = digests.attach(results.downloadList, &problem, &notes);
    for (const QString &note : qAsConst(notes))
        emit message(note);
    if (!attached)
        emit message(problem);
    return attached;
}

void MakeDownloadReplaceListFunc::loadFileStates()
{
    if (!fileStates)
        return;
    // Before any file is looked at: a file changed after this moment carries a later time than
    // any entry made from what this run reads.
    stamp = FileStateCache::fileSystemNow(installDir);
    if (verifyAll) {
        fileStates->renewAll();
        emit message(tr("Checking every installed file"));
        return;
    }
    QString problem;
    if (!fileStates->load(&problem))
        emit message(problem);
}

void MakeDownloadReplaceListFunc::hashBatch(QThreadPool &pool, QList<Entry> &entries,
                                            qsizetype begin, qsizetype end,
                                            QList<Learned> &learned) const
{
    for (qsizetype i = begin; i < end; ++i) {
        learned[i - begin] = Learned();
        learned[i - begin].entry = &entries[i];
    }
    QtConcurrent::blockingMap(&pool, learned.begin(), learned.begin() + (end - begin),
                              [this](Learned &lesson) { compare(lesson); });
}

void MakeDownloadReplaceListFunc::compare(Learned &lesson) const
{
    Entry &entry = *lesson.entry;
    if (entry.isDelete)
        return;
    const QString path = installDir + QLatin1Char('/') + entry.destination;
    struct stat now;
    // Relative to the installation directory, opened once: the kernel does not walk the
    // directories above it for every file of a large release.
    const bool exists = installFd >= 0
        ? ::fstatat(installFd, QFile::encodeName(entry.destination).constData(), &now,
                    AT_SYMLINK_NOFOLLOW)
            == 0
        : ::lstat(QFile::encodeName(path).constData(), &now) == 0;
    if (exists && S_ISDIR(now.st_mode)) {
        entry.isDirectory = true;
        return;
    }
    entry.installedMatches = exists && installedMatches(entry, path, now, &lesson);
    // An older version to take blocks from; for a file stored compressed, of its unpacked
    // content, which is what is installed.
    if (exists && S_ISREG(now.st_mode) && !entry.installedMatches) {
        entry.download.installedPath = path;
        if (entry.download.unpacked)
            entry.download.unpackedMd5 = entry.replace.unzipMd5;
    }
    // Only a file to replace needs its downloaded copy looked at.
    if (!entry.installedMatches)
        entry.tempMatches
            = tempMatches(tempDir + QLatin1Char('/') + entry.download.filePath, entry.download.md5,
                          digests.exist() ? &entry.tempSha256 : nullptr);
}

bool MakeDownloadReplaceListFunc::installedMatches(const Entry &entry, const QString &path,
                                                   const struct stat &now, Learned *learned) const
{
    // Without an MD5 the file is checked by its signature, which the cache knows nothing of.
    if (!fileStates || entry.installedMd5.isEmpty())
        return fileMatches(path, entry.installedMd5);
    const QByteArray known = fileStates->trustedMd5(entry.destination, now);
    const auto matches = [&entry](const QByteArray &md5) {
        // In hexadecimal on the stack: one allocation less for every file.
        static constexpr char Digits[] = "0123456789abcdef";
        char hex[32];
        for (int i = 0; i < 16 && i < md5.size(); ++i) {
            hex[2 * i] = Digits[uchar(md5.at(i)) >> 4];
            hex[2 * i + 1] = Digits[uchar(md5.at(i)) & 15];
        }
        return md5.size() == 16
            && entry.installedMd5.compare(QLatin1String(hex, 32), Qt::CaseInsensitive) == 0;
    };
    if (!known.isEmpty()) {
        learned->trusted = true;
        return matches(known);
    }
    if (!fileStates->canRecord(now))
        return fileMatches(path, entry.installedMd5);

    // Read through a descriptor whose state is taken before and after: the entry describes the
    // file that was read, and only if nothing wrote to it meanwhile.
    QFile file;
    struct stat opened;
    if (!SessionFile::openForReading(file, path) || ::fstat(file.handle(), &opened) != 0)
        return false;
    const QByteArray md5 = CheckSigFunc::md5Of(file);
    struct stat after;
    if (md5.isEmpty() || ::fstat(file.handle(), &after) != 0)
        return false;
    learned->valid = sameState(opened, after);
    learned->info = after;
    learned->md5 = md5;
    return matches(md5);
}

void MakeDownloadReplaceListFunc::updateFileStates(const Entry &entry, const Learned &learned)
{
    if (!fileStates)
        return;
    if (!entry.installedMatches)
        fileStates->expectInstall(entry.destination, entry.installedMd5);
    else if (learned.valid)
        fileStates->learn(entry.destination, learned.info, learned.md5, stamp);
}

void MakeDownloadReplaceListFunc::placeEntry(Entry &entry)
{
    if (entry.installedMatches)
        return;
    results.replaceList.append(std::move(entry.replace));
    // The same key in another section is the same temporary file; downloading it twice at once
    // would have two transfers writing into one file.
    const QString &key = entry.download.filePath;
    if (downloadKeys.contains(key))
        return;
    if (entry.tempMatches) {
        // The installation takes a compressed file's unpacked content put together from blocks
        // in place of the download; one left by another session must not stand in for this one.
        if (entry.download.unpacked)
            QFile::remove(tempDir + QLatin1Char('/') + key
                          + QLatin1String(FileDownloadSpecification::UnpackedSuffix));
        if (digests.exist()) {
            downloadKeys.insert(key);
            digests.addReused(results.downloadList.size(), std::move(entry.download),
                              std::move(entry.tempSha256));
        }
        return;
    }
    downloadKeys.insert(key);
    results.downloadList.append(std::move(entry.download));
}

bool MakeDownloadReplaceListFunc::handleFileEntry(const QString &section, const QString &key,
                                                  const QString &value, Entry &entry)
{
    if (!checkPath(key, section))
        return false;

    const QStringList parts = value.split(PartSeparator);
    if (parts.size() != 2 && parts.size() != 5) {
        emit message(tr("warning: product ini contains invalid line in section %1").arg(section));
        return false;
    }

    FileDownloadSpecification download;
    download.section = section;
    download.filePath = key;
    download.md5 = parts.at(0);
    download.size = toSize(parts.at(1));

    FileReplaceSpecification replace;
    replace.section = section;
    replace.filePath = key;
    if (parts.size() == 5) {
        replace.unzipMd5 = parts.at(2);
        replace.unzipSize = toSize(parts.at(3));
        replace.unzipFilePath = parts.at(4);
        if (replace.hasUnzip() && !checkPath(replace.unzipFilePath, section))
            return false;
    }
    download.unpacked = replace.hasUnzip();

    // Two entries installing the same file would run their replacements side by side, and the
    // second would move the first one's new file aside over the previous installed copy, which
    // a rollback could then no longer restore.
    const QString destination = replace.pureDestFilePath();
    if (destinations.contains(destination)) {
        emit message(
            tr("product ini installs %1 more than once (section %2)").arg(destination, section));
        return false;
    }
    destinations.insert(destination);

    entry.destination = destination;
    entry.installedMd5 = replace.hasUnzip() ? replace.unzipMd5 : download.md5;
    entry.download = download;
    entry.replace = replace;
    return true;
}

bool MakeDownloadReplaceListFunc::handleDeleteEntry(const QString &key)
{
    if (!checkPath(key, DeleteSection))
        return false;
    deleteKeys.append(key);
    if (QFileInfo::exists(installDir + QLatin1Char('/') + key))
        results.deleteList.append(key);
    return true;
}

void MakeDownloadReplaceListFunc::addInstalledLeftovers()
{
    const InstalledRelease installed = InstalledRelease::read(installedIniPath);
    QSet<QString> deleted(results.deleteList.cbegin(), results.deleteList.cend());
    for (const QString &path : installed.files) {
        if (destinations.contains(path) || deleted.contains(path) || !isSafeRelativePath(path))
            continue;
        struct stat info;
        const QByteArray name = QFile::encodeName(installDir + QLatin1Char('/') + path);
        if (::lstat(name.constData(), &info) != 0 || S_ISDIR(info.st_mode))
            continue;
        deleted.insert(path);
        results.deleteList.append(path);
    }
    // Its empty directories, and those above them, go as the dropped ones of a release do:
    // only while empty, and only where this release keeps nothing.
    QSet<QString> kept(directories.empty.cbegin(), directories.empty.cend());
    const auto keepAbove = [&kept](const QString &path) {
        for (QString dir = QFileInfo(path).path(); dir != QLatin1String(".") && !kept.contains(dir);
             dir = QFileInfo(dir).path())
            kept.insert(dir);
    };
    for (const QString &path : std::as_const(destinations))
        keepAbove(path);
    for (const QString &path : std::as_const(directories.empty))
        keepAbove(path);
    QSet<QString> dropped(directories.dropped.cbegin(), directories.dropped.cend());
    for (const QString &empty : installed.emptyDirectories) {
        if (!isSafeRelativePath(empty))
            continue;
        for (QString dir = empty; dir != QLatin1String(".") && !kept.contains(dir);
             dir = QFileInfo(dir).path()) {
            if (!dropped.contains(dir)) {
                dropped.insert(dir);
                directories.dropped.append(dir);
            }
        }
    }
}

bool MakeDownloadReplaceListFunc::checkPath(const QString &path, const QString &section)
{
    if (isSafeRelativePath(path))
        return true;
    if (section.isEmpty())
        emit message(tr("product ini contains unsafe directory \"%1\"").arg(path));
    else
        emit message(
            tr("product ini contains unsafe path \"%1\" in section %2").arg(path, section));
    return false;
}

bool MakeDownloadReplaceListFunc::deletesInstalledFile()
{
    // The delete list runs after the installation: deleting a file of the product, or a
    // directory holding one, would remove what was just installed and still report success.
    for (const QString &deleted : qAsConst(deleteKeys)) {
        const QString asDirectory = deleted + QLatin1Char('/');
        for (const QString &installed : qAsConst(destinations)) {
            if (installed == deleted || installed.startsWith(asDirectory)) {
                emit message(tr("product ini deletes %1, which would remove the installed file %2")
                                 .arg(deleted, installed));
                return true;
            }
        }
    }
    return false;
}

bool MakeDownloadReplaceListFunc::tempMatches(const QString &path, const QString &md5,
                                              QByteArray *sha256)
{
    if (!sha256)
        return fileMatches(path, md5);
    QFile file;
    QByteArray digest;
    return SessionFile::openForReading(file, path) && CheckSigFunc::digestsOf(file, &digest, sha256)
        && md5.compare(QLatin1String(digest.toHex()), Qt::CaseInsensitive) == 0;
}

bool MakeDownloadReplaceListFunc::fileMatches(const QString &path, const QString &md5)
{
    if (!QFileInfo::exists(path))
        return false;
    // Run here, on this thread, with its messages going nowhere: a mismatch is the expected
    // outcome for a file to update and is not worth a log line.
    CheckSigFunc check(path, md5);
    return check.run();
}
