// The block list of a stored file, one line of the side file fetched from a mirror. The side
// file's digest is pinned by the signed ini, but the reader sees whatever the mirror sends
// before that check.
//
// The access points of a gzip-stored file come in a line of their own; the same input is read
// as one too, and what it accepts must be increasing offsets that are written back and read
// back the same.
//
// What the reader accepts must be a list of one entry per block of a block size a list may
// have, under a "section/key" path, and must be written back by toLine() as it was read, to a
// line that reads back to the same list.

#include "fuzzsupport.h"
#include "manifest/blocklist.h"
#include "manifest/gzipaccesspoints.h"

namespace {

void checkPoints(const QByteArray &line)
{
    GzipAccessPoints points;
    QString path, problem;
    if (!GzipAccessPoints::fromLine(line, &points, &path, &problem)) {
        if (problem.isEmpty())
            Fuzz::fail("a refused points line says why");
        return;
    }
    for (int i = 1; i < points.count(); ++i) {
        if (points.bitOffset(i) <= points.bitOffset(i - 1))
            Fuzz::fail("accepted offsets increase", QString::number(i));
    }
    GzipAccessPoints again;
    QString againPath;
    if (!GzipAccessPoints::fromLine(points.toLine(path), &again, &againPath, &problem))
        Fuzz::fail("a written points line reads back", problem);
    if (!(again == points) || againPath != path)
        Fuzz::fail("a written points line reads back the same");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line = Fuzz::bytes(data, size);
    checkPoints(line);
    BlockList list;
    QString path, problem;
    if (!BlockList::fromLine(line, &list, &path, &problem)) {
        if (problem.isEmpty())
            Fuzz::fail("a refused line says why");
        return 0;
    }
    const qint64 blockSize = list.blockSize();
    if (blockSize < BlockList::MinBlockSize || blockSize > BlockList::MaxBlockSize
        || (blockSize & (blockSize - 1)) != 0)
        Fuzz::fail("an accepted block size is a power of two in range", QString::number(blockSize));
    if (list.count() != (list.fileSize() + blockSize - 1) / blockSize
        || (list.count() > 0 && list.lengthOf(list.count() - 1) <= 0))
        Fuzz::fail("an accepted list has one entry per block", QString::number(list.count()));
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == path.size() - 1)
        Fuzz::fail("an accepted path has a section and a key", path);

    const QByteArray written = list.toLine(path);
    const qsizetype pathStart = written.size() - path.toUtf8().size();
    if (line.left(pathStart) != written.left(pathStart))
        Fuzz::fail("an accepted line is written back as it was read", QString::fromUtf8(written));
    BlockList again;
    QString againPath;
    if (!BlockList::fromLine(written, &again, &againPath, &problem))
        Fuzz::fail("a written line reads back", problem);
    if (again != list || againPath != path)
        Fuzz::fail("a written line reads back the same", QString::fromUtf8(written));
    return 0;
}
