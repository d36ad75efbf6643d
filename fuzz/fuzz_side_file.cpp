// The side file of a release: the SHA-256 of every stored file, fetched from a mirror. Its own
// digest is pinned by the signed ini, so a hostile mirror cannot get its content accepted, but
// the reader sees whatever the mirror sends before that check.
//
// What the reader accepts must be digests of 32 bytes under "section/key" paths, and what the
// release tool writes from an accepted file (serialize()) must read back to the same digests.
// Looking up some of its paths (what the updater does for the files it fetches) must find the
// same digests as reading it whole.

#include "fuzzsupport.h"
#include "manifest/sidefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    SideFile side;
    QString problem;
    if (!SideFile::parse(input, &side, &problem)) {
        if (problem.isEmpty())
            Fuzz::fail("a refused side file says why");
        return 0;
    }
    for (auto it = side.sha256.cbegin(); it != side.sha256.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        if (it.value().size() != 32 || slash <= 0 || slash == it.key().size() - 1)
            Fuzz::fail("an accepted digest has 32 bytes and a section and key", it.key());
    }
    const QByteArray written = side.serialize();
    SideFile again;
    if (!SideFile::parse(written, &again, &problem))
        Fuzz::fail("a written side file reads back", problem);
    if (again.sha256 != side.sha256)
        Fuzz::fail("a written side file reads back the same", QString::fromUtf8(written));

    QHash<QString, QByteArray> wanted;
    int every = 0;
    for (auto it = side.sha256.cbegin(); it != side.sha256.cend(); ++it) {
        if (++every % 2)
            wanted.insert(it.key(), QByteArray());
    }
    wanted.insert(QStringLiteral("not/listed"), QByteArray());
    if (!SideFile::lookUp(input, &wanted, &problem))
        Fuzz::fail("an accepted side file can be looked up", problem);
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        if (it.value() != side.sha256.value(it.key()))
            Fuzz::fail("a looked-up digest is the one the whole file gives", it.key());
    }
    return 0;
}
