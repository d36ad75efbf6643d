#include "manifest/sidefile.h"

#include <QIODevice>
#include <QStringList>

#include <algorithm>
#include <utility>

const QByteArray SideFile::Header = QByteArrayLiteral("varnolt-hashes 1");

namespace {

bool isLowerHex(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Calls visit(line, its number from 1) for every line of data; visit returns false to stop.
// Returns how many lines were visited, or -1 when visit stopped.
template<typename Visit> int forEachLine(const QByteArray &data, Visit visit)
{
    qsizetype position = 0;
    int lineNumber = 0;
    while (position < data.size()) {
        qsizetype end = data.indexOf('\n', position);
        if (end < 0)
            end = data.size();
        const QByteArray line = data.mid(position, end - position);
        position = end + 1;
        if (!visit(line, ++lineNumber))
            return -1;
    }
    return lineNumber;
}

// Calls take(path, raw digest) for every sha256 line of a side file, in order; take returns
// false to stop with the reason it put into problem.
template<typename Take> bool walk(const QByteArray &data, QString *problem, Take take)
{
    const int lines = forEachLine(data, [&](const QByteArray &line, int lineNumber) {
        if (lineNumber == 1) {
            if (line == SideFile::Header)
                return true;
            *problem = QStringLiteral("it does not begin with \"%1\"")
                           .arg(QString::fromLatin1(SideFile::Header));
            return false;
        }
        if (!line.startsWith("sha256 "))
            return true;
        // "sha256 " + 64 digits + " " + at least "s/k".
        const QByteArray digest = line.mid(7, 64);
        if (line.size() < 7 + 64 + 1 + 3 || line.at(7 + 64) != ' ' || !isLowerHex(digest)) {
            *problem = QStringLiteral("line %1 is malformed").arg(lineNumber);
            return false;
        }
        const QString path = QString::fromUtf8(line.mid(7 + 64 + 1));
        const qsizetype slash = path.indexOf(QLatin1Char('/'));
        if (slash <= 0 || slash == path.size() - 1) {
            *problem = QStringLiteral("line %1 names no section and file").arg(lineNumber);
            return false;
        }
        return take(path, digest);
    });
    if (lines == 0)
        *problem = QStringLiteral("it is empty");
    return lines > 0;
}

} // namespace

bool SideFile::parse(const QByteArray &data, SideFile *sideFile, QString *problem)
{
    sideFile->sha256.clear();
    return walk(data, problem, [&](const QString &path, const QByteArray &digest) {
        if (sideFile->sha256.contains(path)) {
            *problem = QStringLiteral("%1 is listed twice").arg(path);
            return false;
        }
        sideFile->sha256.insert(path, QByteArray::fromHex(digest));
        return true;
    });
}

bool SideFile::lookUp(const QByteArray &data, QHash<QString, QByteArray> *wanted, QString *problem)
{
    return walk(data, problem, [&](const QString &path, const QByteArray &digest) {
        const auto it = wanted->find(path);
        if (it == wanted->end())
            return true;
        if (!it->isEmpty()) {
            *problem = QStringLiteral("%1 is listed twice").arg(path);
            return false;
        }
        *it = QByteArray::fromHex(digest);
        return true;
    });
}

void SideFile::lookUpFileLines(QIODevice *device, QHash<QString, FileLines> *wanted)
{
    while (!device->atEnd()) {
        QByteArray line = device->readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        // "blocks SIZE LENGTH DATA PATH" and "points EVERY COUNT DATA PATH": the path follows
        // the fourth space; "sha256-unpacked DIGEST PATH": the second.
        const bool blocks = line.startsWith("blocks ");
        const bool points = line.startsWith("points ");
        const bool unpacked = line.startsWith("sha256-unpacked ");
        if (!blocks && !points && !unpacked)
            continue;
        qsizetype space = 0;
        for (int field = 0; field < (unpacked ? 2 : 4) && space >= 0; ++field)
            space = line.indexOf(' ', field == 0 ? 0 : space + 1);
        if (space < 0)
            continue;
        const auto it = wanted->find(QString::fromUtf8(QByteArrayView(line).sliced(space + 1)));
        if (it == wanted->end())
            continue;
        if (blocks)
            it->blocks = std::move(line);
        else if (points)
            it->points = std::move(line);
        else if (space == 16 + 64 && isLowerHex(line.mid(16, 64)))
            it->unpackedSha256 = QByteArray::fromHex(line.mid(16, 64));
    }
}

QByteArray SideFile::listLine(const QString &path, const QByteArray &sha256, qint64 size)
{
    return "list " + sha256.toHex() + ' ' + QByteArray::number(size) + ' ' + path.toUtf8();
}

bool SideFile::lookUpLists(const QByteArray &data, QHash<QString, ListBinding> *wanted,
                           QString *problem)
{
    // The header and sha256 lines are checked as for lookUp(), so that a file that is no
    // digests file is not taken for one without lists.
    if (!walk(data, problem, [](const QString &, const QByteArray &) { return true; }))
        return false;
    return forEachLine(data,
                       [&](const QByteArray &text, int lineNumber) {
                           const QByteArrayView line(text);
                           if (!line.startsWith("list "))
                               return true;
                           // "list " + 64 digits + " " + size + " " + at least "s/k".
                           const qsizetype sizeEnd = line.indexOf(' ', 5 + 64 + 1);
                           qint64 size = 0;
                           if (line.size() < 5 + 64 + 1 || line.at(5 + 64) != ' '
                               || !isLowerHex(line.sliced(5, 64).toByteArray()) || sizeEnd < 0
                               || !parseNumber(line.sliced(5 + 64 + 1, sizeEnd - (5 + 64 + 1)), 15,
                                               &size)) {
                               *problem = QStringLiteral("line %1 is malformed").arg(lineNumber);
                               return false;
                           }
                           const QString path = QString::fromUtf8(line.sliced(sizeEnd + 1));
                           const auto it = wanted->find(path);
                           if (it == wanted->end())
                               return true;
                           if (!it->sha256.isEmpty()) {
                               *problem = QStringLiteral("the list of %1 is named twice").arg(path);
                               return false;
                           }
                           it->sha256 = QByteArray::fromHex(line.sliced(5, 64).toByteArray());
                           it->size = size;
                           return true;
                       })
        >= 0;
}

bool SideFile::parseNumber(QByteArrayView text, int maxDigits, qint64 *value)
{
    if (text.isEmpty() || text.size() > maxDigits || (text.size() > 1 && text.front() == '0'))
        return false;
    qint64 result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

QByteArray SideFile::serialize() const
{
    QStringList paths = sha256.keys();
    paths.sort();
    QByteArray data = Header + '\n';
    for (const QString &path : qAsConst(paths))
        data += "sha256 " + sha256.value(path).toHex() + ' ' + path.toUtf8() + '\n';
    QStringList listed = blockLines.keys();
    listed.sort();
    for (const QString &path : qAsConst(listed))
        data += blockLines.value(path) + '\n';
    return data;
}
