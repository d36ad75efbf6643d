#include "fileops/installjournal.h"

#include "fileops/rollbackdata.h"
#include "fileops/stagedfile.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray Header = "varnolt-install-journal 1";
const QByteArray CommitLine = "commit";
const QByteArray EndLine = "end";

// An undo step that found nothing to do has done its job: the change was
// never made, or an interrupted rollback already undid it.
bool removed(int result)
{
    return result == 0 || errno == ENOENT;
}

// A path from the journal, back to an absolute one. Anything that could
// point outside the installation makes the whole journal unreadable.
bool decode(const QString &root, const QByteArray &field, QByteArray *absolute)
{
    const QByteArray relative = QByteArray::fromPercentEncoding(field);
    if (relative.isEmpty() || relative.startsWith('/') || relative.contains('\0'))
        return false;
    for (const QByteArray &element : relative.split('/')) {
        if (element.isEmpty() || element == "." || element == "..")
            return false;
    }
    *absolute = QFile::encodeName(root) + '/' + relative;
    return true;
}

// The identity ("device:inode") of the file at path; empty when there is none.
QByteArray identityOf(const QByteArray &path)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return QByteArray();
    return QByteArray::number(quint64(info.st_dev)) + ':'
        + QByteArray::number(quint64(info.st_ino));
}

// Whether path is the file identity names; any file when no identity was
// recorded.
bool isFile(const QByteArray &path, const QByteArray &identity)
{
    const QByteArray actual = identityOf(path);
    return !actual.isEmpty() && (identity.isEmpty() || identity == actual);
}

struct Record
{
    QByteArray kind;
    QByteArray path;
    QByteArray previousPath;
    QByteArray identity;
};

} // namespace

InstallJournal::InstallJournal(const QString &root)
    : rootPath(root), journalPath(root + QLatin1Char('/') + fileName())
{
}

InstallJournal::~InstallJournal()
{
    if (fd >= 0)
        ::close(fd);
}

QString InstallJournal::fileName()
{
    return QStringLiteral("update.journal");
}

bool InstallJournal::writeDurably(const QByteArray &text)
{
    return StagedFile::writeAll(fd, text.constData(), text.size()) && StagedFile::syncData(fd);
}

bool InstallJournal::create()
{
    if (fd >= 0)
        return false;
    committed = false;
    touchedDirectories.clear();
    announced.clear();
    fd = ::open(QFile::encodeName(journalPath).constData(),
                O_CREAT | O_EXCL | O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (writeDurably(Header + '\n') && StagedFile::syncDirectory(rootPath))
        return true;
    remove();
    return false;
}

bool InstallJournal::encode(const QString &absolute, QByteArray *field) const
{
    const QString prefix = rootPath + QLatin1Char('/');
    if (!absolute.startsWith(prefix))
        return false;
    *field = QFile::encodeName(absolute.mid(prefix.size())).toPercentEncoding("/");
    return !field->isEmpty();
}

QString InstallJournal::keyOf(const RollbackData &record)
{
    return QString::number(int(record.operation)) + QLatin1Char('\n') + record.previousPath
        + QLatin1Char('\n') + record.path;
}

bool InstallJournal::encodeRecord(const RollbackData &record, QByteArray *line)
{
    QByteArray path;
    if (!encode(record.path, &path))
        return false;
    switch (record.operation) {
    case RollbackData::Rename: {
        QByteArray previous;
        if (!encode(record.previousPath, &previous))
            return false;
        *line = "rename " + previous + ' ' + path;
        // Which file the old copy must be: a crash may come before the
        // installed file got its second name, while a stale file of that
        // name is still there; that one must never go over the installed one.
        const QByteArray identity = identityOf(QFile::encodeName(record.previousPath));
        if (!identity.isEmpty())
            *line += ' ' + identity;
        touchedDirectories.insert(QFileInfo(record.previousPath).path());
        break;
    }
    case RollbackData::CreateFile:
        *line = "file " + path;
        break;
    case RollbackData::CreateDir:
        *line = "dir " + path;
        break;
    }
    *line += '\n';
    touchedDirectories.insert(QFileInfo(record.path).path());
    return true;
}

bool InstallJournal::append(const RollbackData &record)
{
    return appendAll({record});
}

bool InstallJournal::appendAll(const QList<RollbackData> &records)
{
    if (fd < 0 || committed)
        return false;
    QByteArray lines;
    QSet<QString> keys;
    for (const RollbackData &record : records) {
        const QString key = keyOf(record);
        if (announced.contains(key) || keys.contains(key))
            continue;
        QByteArray line;
        if (!encodeRecord(record, &line))
            return false;
        lines += line;
        keys.insert(key);
    }
    if (lines.isEmpty())
        return true;
    if (!writeDurably(lines))
        return false;
    announced.unite(keys);
    return true;
}

bool InstallJournal::commit(const QStringList &deleteList)
{
    if (fd < 0 || committed)
        return false;
    for (const QString &directory : qAsConst(touchedDirectories)) {
        if (!StagedFile::syncDirectory(directory))
            return false;
    }
    // One write: a commit cut short has no end line and counts as no commit.
    QByteArray block = CommitLine + '\n';
    for (const QString &entry : deleteList) {
        QByteArray field;
        if (!encode(rootPath + QLatin1Char('/') + entry, &field))
            return false;
        block += "delete " + field + '\n';
    }
    block += EndLine + '\n';
    if (!writeDurably(block))
        return false;
    committed = true;
    return true;
}

void InstallJournal::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void InstallJournal::remove()
{
    close();
    if (::unlink(QFile::encodeName(journalPath).constData()) == 0)
        StagedFile::syncDirectory(rootPath);
}

InstallJournal::Recovery InstallJournal::recover(const QString &root)
{
    Recovery result;
    const QString journalPath = root + QLatin1Char('/') + fileName();
    QFile file(journalPath);
    if (!QFileInfo(journalPath).isFile() && !QFileInfo(journalPath).isSymLink())
        return result;
    result.outcome = Recovery::Failed;
    if (QFileInfo(journalPath).isSymLink() || !file.open(QIODevice::ReadOnly)) {
        result.problem = file.errorString();
        return result;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    if (file.error() != QFileDevice::NoError) {
        result.problem = file.errorString();
        return result;
    }
    file.close();
    // What follows the last line break was cut off by the crash while it was
    // written; it was never synced, so the change it announced never began.
    lines.removeLast();

    QList<Record> records;
    QList<QByteArray> deletions;
    bool commitSeen = false;
    bool endSeen = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        Record record;
        bool valid;
        if (i == 0) {
            valid = lines.at(i) == Header;
        } else if (endSeen) {
            valid = false;
        } else if (commitSeen) {
            if (lines.at(i) == EndLine) {
                endSeen = valid = true;
            } else {
                valid = fields.size() == 2 && fields.at(0) == "delete"
                    && decode(root, fields.at(1), &record.path);
                deletions.append(record.path);
            }
        } else if (lines.at(i) == CommitLine) {
            commitSeen = valid = true;
        } else {
            record.kind = fields.at(0);
            if (record.kind == "rename") {
                valid = (fields.size() == 3 || fields.size() == 4)
                    && decode(root, fields.at(1), &record.previousPath)
                    && decode(root, fields.at(2), &record.path);
                if (fields.size() == 4)
                    record.identity = fields.at(3);
            } else {
                valid = (record.kind == "file" || record.kind == "dir") && fields.size() == 2
                    && decode(root, fields.at(1), &record.path);
            }
            records.append(record);
        }
        if (!valid) {
            result.problem = QStringLiteral("line %1 is not a journal record").arg(i + 1);
            return result;
        }
    }

    int failures = 0;
    if (endSeen) {
        // Best effort, as the deletions of a run that was not interrupted:
        // the new version is complete, an obsolete file that stays does not
        // change that (and must not block every later start).
        for (const QByteArray &path : qAsConst(deletions))
            ::unlink(path.constData());
        result.outcome = Recovery::Finished;
    } else {
        for (qsizetype i = records.size() - 1; i >= 0; --i) {
            const Record &record = records.at(i);
            bool ok;
            if (record.kind == "dir") {
                // Left alone when it is not empty: what is in it is not ours.
                ok = ::rmdir(record.path.constData()) == 0 || errno == ENOENT || errno == ENOTEMPTY
                    || errno == EEXIST;
            } else if (record.kind == "file") {
                const QByteArray staged
                    = QFile::encodeName(StagedFile::temporaryName(QFile::decodeName(record.path)));
                ok = removed(::unlink(staged.constData()))
                    && removed(::unlink(record.path.constData()));
            } else {
                // The old copy holds the installed file's content, as a hard
                // link or renamed aside: it goes back over whatever holds the
                // name now, in one rename().
                const QByteArray staged = QFile::encodeName(
                    StagedFile::temporaryName(QFile::decodeName(record.previousPath)));
                ok = removed(::unlink(staged.constData()));
                if (isFile(record.path, record.identity))
                    ok = RollbackData::restoreOldCopy(QFile::decodeName(record.path),
                                                      QFile::decodeName(record.previousPath))
                        && ok;
            }
            if (!ok)
                ++failures;
        }
        result.outcome = Recovery::Undone;
        result.changes = int(records.size());
    }
    if (failures > 0) {
        result.outcome = Recovery::Failed;
        result.problem = QStringLiteral("%1 changes could not be undone or finished").arg(failures);
        return result;
    }
    // Every restored name must be durable before the journal that could
    // restore it again goes.
    QSet<QString> directories;
    for (const Record &record : qAsConst(records))
        directories.insert(QFileInfo(QFile::decodeName(record.path)).path());
    for (const QByteArray &path : qAsConst(deletions))
        directories.insert(QFileInfo(QFile::decodeName(path)).path());
    for (const QString &directory : qAsConst(directories))
        StagedFile::syncDirectory(directory);
    if (::unlink(QFile::encodeName(journalPath).constData()) != 0) {
        result.outcome = Recovery::Failed;
        result.problem = QStringLiteral("the journal could not be deleted");
        return result;
    }
    StagedFile::syncDirectory(root);
    return result;
}
