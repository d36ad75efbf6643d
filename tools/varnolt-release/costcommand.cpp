#include "costcommand.h"

#include "manifest/blocklist.h"
#include "manifest/blockmatcher.h"
#include "manifest/checksigfunc.h"

#include <QCommandLineParser>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct FileCost
{
    qint64 whole = 0;
    qint64 delta = 0;
    // The block list's line in the side file, which every update fetches.
    qint64 list = 0;
};

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
bool deltaCost(const QString &oldPath, const QString &newPath, const QString &name, FileCost *cost,
               QString *problem)
{
    QFile content(newPath);
    BlockList blocks;
    if (!content.open(QIODevice::ReadOnly)
        || !BlockList::build(&content, BlockList::blockSizeFor(content.size()), &blocks, problem))
        return false;
    cost->list = blocks.toLine(name).size() + 1;
    const int fd = ::open(QFile::encodeName(oldPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    BlockMatcher matcher(blocks);
    const bool scanned = matcher.scan(fd, problem);
    ::close(fd);
    if (!scanned)
        return false;
    qint64 fetched = 0;
    for (const auto &range : matcher.missingRanges(0))
        fetched += range.second;
    cost->delta = fetched;
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
    for (const QCommandLineOption &option : {fromOption, toOption, blocksOption})
        parser.addOption(option);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral("cost --from OLD --to NEW [--block-lists-from BYTES]\n\n"
                              "Prints what updating an installation of the tree OLD to the tree "
                              "NEW costs a user:\nper changed or new file the bytes of the whole "
                              "file and those that travel with\nblock lists, then the totals, "
                              "the block lists every user fetches included."),
               arguments, 0, &exitCode))
        return exitCode;
    if (!parser.isSet(fromOption) || !parser.isSet(toOption))
        return usageError(command, QStringLiteral("--from and --to are required"));
    bool number = true;
    const qint64 minSize
        = parser.isSet(blocksOption) ? parser.value(blocksOption).toLongLong(&number) : 1 << 20;
    if (!number || minSize < 0)
        return usageError(command, QStringLiteral("--block-lists-from takes a size in bytes"));
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
    for (const QString &name : qAsConst(names)) {
        const QString newPath = QDir(newRoot).filePath(name);
        const QString oldPath = QDir(oldRoot).filePath(name);
        FileCost cost;
        cost.whole = QFileInfo(newPath).size();
        cost.delta = cost.whole;
        const bool existed = QFileInfo(oldPath).isFile();
        QString problem;
        if (cost.whole >= minSize && cost.whole > 0
            && !deltaCost(existed ? oldPath : QString(), newPath, name, &cost, &problem)) {
            err << PROGRAM << ' ' << command << ": cannot compare " << name << ": " << problem
                << '\n';
            return InputError;
        }
        lists += cost.list;
        if (existed && QFileInfo(oldPath).size() == cost.whole
            && sha256Of(oldPath) == sha256Of(newPath))
            continue;
        ++changed;
        total.whole += cost.whole;
        total.delta += cost.delta;
        out << (existed ? "changed " : "new     ") << name << ": " << cost.whole << " bytes whole, "
            << cost.delta << " with block lists (" << percent(cost.delta, cost.whole) << " %)\n";
    }
    out << "Total: " << changed << " of " << names.size() << " files changed or new; "
        << total.whole << " bytes whole, " << total.delta + lists << " with block lists ("
        << total.delta << " of the files and " << lists << " of block lists, "
        << percent(total.delta + lists, total.whole) << " %)\n";
    return Ok;
}
