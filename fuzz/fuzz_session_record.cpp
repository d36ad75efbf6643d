// The files the updater finds in its installation directory from earlier runs: the session
// record in update.ini (and the installed release beside it), and the file-state cache
// update.state.
//
// A record that is damaged, edited or planted must never make the updater empty a directory
// other than one of its own sessions: whatever the record says, an accepted directory must be,
// as the system resolves the path, a directory of this user directly inside the temporary
// directory, named as the updater names its sessions.
//
// Inputs may write "@TMP@" for the temporary directory, which differs from run to run; the
// target puts the real path in its place. The same input is read as the cache as it stands and
// framed as a cache whose header, root and checksum are right, so that the fuzzer reaches the
// entries: the input's text after its last newline, if any, stands in the end line as the entry
// count.

#include "app/updateinidata.h"
#include "fuzzsupport.h"
#include "manifest/filestatecache.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

struct Setup
{
    QTemporaryDir base;
    QString temp;
    QString cacheRoot;
    QByteArray cacheHead;
};

Setup *setup = nullptr;

// A temporary directory as another user's links and the updater's earlier runs leave it.
void makeTemporaryDirectory()
{
    const QString temp = setup->temp + QLatin1Char('/');
    const QString base = setup->base.path() + QLatin1Char('/');
    for (const char *dir : {"varnolt_temp_1", "varnolt_temp_1/varnolt_temp_2", "important",
                            "varnolt_temp_", "varnolt_temp_1x", "varnolt_temp_483920175266"})
        Fuzz::makeFixture(temp + QLatin1String(dir));
    Fuzz::makeFixture(temp + QLatin1String("varnolt_temp_5"), "a file");
    Fuzz::makeFixture(base + QLatin1String("outside/varnolt_temp_1"));
    Fuzz::makeFixture(base + QLatin1String("outside/nested"));
    if (!QFile::link(temp + QLatin1String("varnolt_temp_1"), temp + "varnolt_temp_link")
        || !QFile::link(base + QLatin1String("outside/nested"), temp + "away"))
        Fuzz::fail("the fixture links can be made");
}

QString resolved(const QString &path)
{
    char buffer[PATH_MAX];
    const char *real = ::realpath(QFile::encodeName(path).constData(), buffer);
    return real ? QFile::decodeName(real) : QString();
}

void checkSession(const QString &dir)
{
    static const QRegularExpression sessionName(QStringLiteral("^varnolt_temp_[0-9]+$"));
    // What emptying the directory would reach: the path as the system resolves it.
    const QString real = resolved(dir);
    struct stat info;
    const bool ok = !real.isEmpty() && !dir.contains(QChar(0))
        && ::lstat(QFile::encodeName(real).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::geteuid() && QFileInfo(real).path() == resolved(setup->temp)
        && sessionName.match(QFileInfo(real).fileName()).hasMatch();
    if (!ok)
        Fuzz::fail("an accepted session directory is one of the updater's own",
                   dir + QLatin1String(" -> ") + real);
}

void readCache(const QByteArray &content)
{
    Fuzz::writeFile(setup->cacheRoot + QLatin1Char('/') + FileStateCache::fileName(), content);
    FileStateCache cache(setup->cacheRoot);
    QString problem;
    if (!cache.load(&problem) && problem.isEmpty())
        Fuzz::fail("a refused cache says why");
}

QByteArray framedCache(const QByteArray &input)
{
    const qsizetype lastLine = input.lastIndexOf('\n') + 1;
    const QByteArray entries = input.left(lastLine);
    const QByteArray count
        = lastLine < input.size() ? input.mid(lastLine) : QByteArray::number(entries.count('\n'));
    const QByteArray body = setup->cacheHead + entries;
    const uLong crc = ::crc32(0, reinterpret_cast<const Bytef *>(body.constData()), body.size());
    return body + "end " + count + ' ' + QByteArray::number(quint32(crc), 16) + '\n';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    Fuzz::startApplication((*argv)[0]);
    setup = new Setup;
    std::atexit([] { delete setup; });
    if (!setup->base.isValid())
        Fuzz::fail("a scratch directory can be made");
    setup->temp = setup->base.filePath(QStringLiteral("tmp"));
    setup->cacheRoot = setup->base.filePath(QStringLiteral("install"));
    Fuzz::makeFixture(setup->temp);
    Fuzz::makeFixture(setup->cacheRoot);
    makeTemporaryDirectory();
    // The session checks look for the system's temporary directory here.
    qputenv("TMPDIR", QFile::encodeName(setup->temp));

    struct stat root;
    if (::stat(QFile::encodeName(setup->cacheRoot).constData(), &root) != 0)
        Fuzz::fail("the cache's directory can be examined");
    setup->cacheHead = "varnolt-file-state 1\nroot " + QByteArray::number(quint64(root.st_dev))
        + ' ' + QByteArray::number(quint64(root.st_ino)) + ' ' + QFile::encodeName(setup->cacheRoot)
        + '\n';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);

    QByteArray settings = input;
    settings.replace("@TMP@", QFile::encodeName(setup->temp));
    Fuzz::writeFile(UpdateIniData::filename(), settings);
    int version = 0;
    QString type;
    QString dir;
    if (UpdateIniData::get(&version, &type, &dir)) {
        if (type.isEmpty())
            Fuzz::fail("an accepted session record names a type");
        checkSession(dir);
    }
    // The other records of update.ini that a start reads.
    UpdateIniData::installedVersion(QStringLiteral("client_linux_amd64"), &version);
    UpdateIniData::boundReleaseInstalled();

    readCache(input);
    readCache(framedCache(input));
    return 0;
}
