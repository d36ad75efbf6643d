#include "costcommand.h"

#include "gzipbytes.h"
#include "manifest/blocklist.h"
#include "manifest/blockmatcher.h"
#include "manifest/checksigfunc.h"
#include "manifest/releasebinding.h"
#include "manifest/sidefile.h"
#include "releasemetadatawriter.h"
#include "requestcost.h"

#include <QCommandLineParser>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct FileCost
{
    qint64 whole = 0;
    qint64 delta = 0;
    // The gzip form of the file's block list, which an update fetches when it puts the file
    // together from blocks.
    qint64 list = 0;
    // Ranges of changed blocks, when only they travel.
    int ranges = 0;
};

// One metadata file as an update fetches it: its gzip form where the release has one.
struct Fetched
{
    QString remoteName;
    qint64 bytes = 0;
};

Fetched fetchedForm(const QDir &versionDir, const QString &name)
{
    const QString packed = name + ReleaseMetadataWriter::GzipSuffix;
    if (QFileInfo(versionDir.filePath(packed)).isFile())
        return {packed, QFileInfo(versionDir.filePath(packed)).size()};
    return {name, QFileInfo(versionDir.filePath(name)).size()};
}

// What an update fetches before any file: the product ini, its signature and the digests file
// (or, for a release without one, the side file with every list), and where the release lies
// on the mirrors (without a published release: nothing, and where a release usually lies, for
// the length of the paths).
struct Release
{
    bool published = false;
    // The files' lists come one by one, each when its file is put together.
    bool listsOnDemand = false;
    QDir versionDir;
    QList<Fetched> metadata;
    QString version = QStringLiteral("42");
    QString section = QStringLiteral("client_linux_amd64");

    qint64 bytes() const
    {
        qint64 total = 0;
        for (const Fetched &file : metadata)
            total += file.bytes;
        return total;
    }
    QString detail() const
    {
        QStringList parts;
        for (const Fetched &file : metadata)
            parts.append(QStringLiteral("%1 %2").arg(file.remoteName).arg(file.bytes));
        return parts.join(QLatin1String(", "));
    }
};

bool readRelease(const QString &iniPath, Release *release, QString *problem)
{
    const QFileInfo ini(iniPath);
    const QFileInfo signature(iniPath + QLatin1String(".sig"));
    QFile file(iniPath);
    ReleaseBinding binding;
    if (!ini.isFile() || !signature.isFile() || !file.open(QIODevice::ReadOnly)
        || !ReleaseBinding::parse(file.read(1 << 20), &binding, problem)) {
        if (problem->isEmpty())
            *problem = QStringLiteral("%1 is not a published release (no ini or signature)")
                           .arg(iniPath);
        return false;
    }
    release->published = true;
    release->versionDir = ini.dir();
    release->metadata
        = {fetchedForm(ini.dir(), ini.fileName()), {signature.fileName(), signature.size()}};
    if (binding.present)
        release->metadata.append(fetchedForm(ini.dir(), binding.digestsSource()));
    release->listsOnDemand = !binding.digestsFile.isEmpty();
    release->version = ini.dir().dirName();
    // The files' directory on the mirrors: the ini's section, TYPE unless --section named another.
    QSettings settings(iniPath, QSettings::IniFormat);
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        if (section != QLatin1String("delete")) {
            release->section = section;
            break;
        }
    }
    return true;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QByteArray md5;
    QByteArray sha256;
    if (!file.open(QIODevice::ReadOnly) || !CheckSigFunc::digestsOf(file, &md5, &sha256))
        return QByteArray();
    return sha256;
}

// What fetching the new file costs when its unchanged blocks come from the old one; the whole
// file when that cannot be worked out.
bool deltaCost(const QString &oldPath, const QString &newPath, const QString &path, FileCost *cost,
               QString *problem)
{
    QFile content(newPath);
    BlockList blocks;
    if (!content.open(QIODevice::ReadOnly)
        || !BlockList::build(&content, BlockList::blockSizeFor(content.size()), &blocks, problem))
        return false;
    cost->list = GzipBytes::compress(ReleaseMetadataWriter::listFileOf(blocks.toLine(path))).size();
    cost->ranges = 0;
    const int fd = ::open(QFile::encodeName(oldPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    BlockMatcher matcher(blocks);
    const bool scanned = matcher.scan(fd, problem);
    ::close(fd);
    if (!scanned)
        return false;
    qint64 fetched = 0;
    const auto ranges = matcher.missingRanges(0);
    for (const auto &range : ranges)
        fetched += range.second;
    cost->delta = fetched;
    cost->ranges = int(ranges.size());
    return true;
}

QString percent(qint64 part, qint64 whole)
{
    return whole > 0 ? QString::number(100.0 * double(part) / double(whole), 'f', 1)
                     : QStringLiteral("-");
}

} // namespace

int CostCommand::run(const QStringList &arguments)
{
    const QString command = QStringLiteral("cost");
    QCommandLineParser parser;
    const QCommandLineOption fromOption(QStringLiteral("from"),
                                        QStringLiteral("The client tree users have installed."),
                                        QStringLiteral("OLD"));
    const QCommandLineOption toOption(QStringLiteral("to"),
                                      QStringLiteral("The client tree of the new release."),
                                      QStringLiteral("NEW"));
    const QCommandLineOption blocksOption(
        QStringLiteral("block-lists-from"),
        QStringLiteral("Files from BYTES on have block lists, as in release (default 1048576)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption releaseOption(
        QStringLiteral("release"),
        QStringLiteral("The published ini of NEW (MIRRORDIR/N/TYPE.ini), whose ini, signature, "
                       "digests and block lists an update fetches."),
        QStringLiteral("INI"));
    for (const QCommandLineOption &option : {fromOption, toOption, blocksOption, releaseOption})
        parser.addOption(option);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral(
                   "cost --from OLD --to NEW [--block-lists-from BYTES] [--release INI]\n\n"
                   "Prints what updating an installation of the tree OLD to the tree NEW costs "
                   "a user:\nper changed or new file the bytes of the whole file and those that "
                   "travel with\nblock lists, then the totals with the block lists an update "
                   "fetches (gzip), and\nwhat an update fetches in all: with the ini, "
                   "signature and digests file of the\nrelease INI when given (their gzip forms "
                   "where published), and the headers of\nevery request (%1 bytes and the path "
                   "each, %2 more for each part of an answer\nwith several ranges); last what "
                   "a run that finds nothing to do fetches.")
                   .arg(RequestCost::RequestBytes)
                   .arg(RequestCost::RangePartBytes),
               arguments, 0, &exitCode))
        return exitCode;
    if (!parser.isSet(fromOption) || !parser.isSet(toOption))
        return usageError(command, QStringLiteral("--from and --to are required"));
    bool number = true;
    const qint64 minSize
        = parser.isSet(blocksOption) ? parser.value(blocksOption).toLongLong(&number) : 1 << 20;
    if (!number || minSize < 0)
        return usageError(command, QStringLiteral("--block-lists-from takes a size in bytes"));
    Release release;
    if (parser.isSet(releaseOption)) {
        QString problem;
        if (!readRelease(parser.value(releaseOption), &release, &problem)) {
            err << PROGRAM << ' ' << command << ": " << problem << '\n';
            return InputError;
        }
    }
    const QString oldRoot = absoluteClean(parser.value(fromOption));
    const QString newRoot = absoluteClean(parser.value(toOption));
    for (const QString &root : {oldRoot, newRoot}) {
        if (!QFileInfo(root).isDir()) {
            err << PROGRAM << ' ' << command << ": " << root << " is not a directory\n";
            return InputError;
        }
    }

    QStringList names;
    QDirIterator it(newRoot, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(QDir(newRoot).relativeFilePath(it.next()));
    names.sort();

    FileCost total;
    qint64 lists = 0;
    int changed = 0;
    RequestCost requests(QLatin1Char('/') + release.version);
    for (const Fetched &file : qAsConst(release.metadata))
        requests.addFile(file.remoteName);
    const qint64 metadataHeaders = requests.bytes();
    const int metadataRequests = requests.requests();
    const QString section = release.section + QLatin1Char('/');
    for (const QString &name : qAsConst(names)) {
        const QString newPath = QDir(newRoot).filePath(name);
        const QString oldPath = QDir(oldRoot).filePath(name);
        FileCost cost;
        cost.whole = QFileInfo(newPath).size();
        cost.delta = cost.whole;
        const bool existed = QFileInfo(oldPath).isFile();
        QString problem;
        if (cost.whole >= minSize && cost.whole > 0
            && !deltaCost(existed ? oldPath : QString(), newPath, section + name, &cost,
                          &problem)) {
            err << PROGRAM << ' ' << command << ": cannot compare " << name << ": " << problem
                << '\n';
            return InputError;
        }
        if (existed && QFileInfo(oldPath).size() == cost.whole
            && sha256Of(oldPath) == sha256Of(newPath))
            continue;
        // Only a file put together from blocks needs its list: the published one where the
        // release has lists of their own. Without one there, the file comes whole.
        Fetched list;
        if (cost.ranges > 0 && release.listsOnDemand) {
            list = fetchedForm(release.versionDir, SideFile::listPathOf(section + name));
            cost.list = list.bytes;
            if (list.bytes == 0) {
                cost.delta = cost.whole;
                cost.ranges = 0;
            }
        }
        ++changed;
        total.whole += cost.whole;
        total.delta += cost.delta;
        if (cost.ranges > 0) {
            if (!list.remoteName.isEmpty())
                requests.addFile(list.remoteName);
            lists += cost.list;
            requests.addRanges(section + name, cost.ranges);
        } else {
            requests.addFile(section + name);
        }
        out << (existed ? "changed " : "new     ") << name << ": " << cost.whole << " bytes whole, "
            << cost.delta << " with block lists (" << percent(cost.delta, cost.whole) << " %)\n";
    }
    out << "Total: " << changed << " of " << names.size() << " files changed or new; "
        << total.whole << " bytes whole, " << total.delta + lists << " with block lists ("
        << total.delta << " of the files and " << lists << " of block lists, "
        << percent(total.delta + lists, total.whole) << " %)\n";
    // A release without a digests file carries every list in its side file.
    if (release.published && !release.listsOnDemand)
        lists = 0;
    const qint64 fetched = total.delta + release.bytes() + lists + requests.bytes();
    out << "Fetched by an update: " << fetched << " bytes in " << requests.requests()
        << " requests ("
        << (release.published ? release.detail()
                              : QStringLiteral("without the ini and signature: pass --release"))
        << ", block lists " << lists << ", headers " << requests.bytes() << ")\n";
    if (!release.published) {
        out << "Fetched by a run with nothing to do: pass --release\n";
        return Ok;
    }
    // A run that keeps the verified release in the installation asks nothing of a mirror the
    // next time; the first run, or one whose kept copy is gone, fetches what every run begins
    // with.
    out << "Fetched by a run with nothing to do: nothing with the release kept in the "
           "installation; without it "
        << release.bytes() + metadataHeaders << " bytes in " << metadataRequests << " requests ("
        << release.detail() << ", headers " << metadataHeaders << ")\n";
    return Ok;
}
