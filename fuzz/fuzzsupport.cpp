#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Fuzz {

void startApplication(const char *programName)
{
    static char *arguments[] = {const_cast<char *>(programName), nullptr};
    static int count = 1;
    static QCoreApplication application(count, arguments);
}

void writeFile(const QString &path, const QByteArray &data)
{
    // Seconds apart from any earlier call, far from any real time.
    static qint64 stamp = 1000000000;
    const QByteArray name = QFile::encodeName(path);
    // Overwritten and cut to size rather than truncated first: ext4 writes a file truncated to
    // nothing back to disk when it is closed, which would make each run wait for the disk.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (qsizetype done = 0; ok && done < data.size();) {
        const ssize_t written = ::write(fd, data.constData() + done, size_t(data.size() - done));
        ok = written > 0;
        done += ok ? written : 0;
    }
    ok = ok && ::ftruncate(fd, data.size()) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        fail("the scratch file can be written", path);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(++stamp), 0}};
    if (::utimensat(AT_FDCWD, name.constData(), times, 0) != 0)
        fail("the scratch file's time can be set", path);
}

void makeFixture(const QString &path, const QByteArray &content)
{
    const bool directory = content.isNull();
    if (!QDir().mkpath(directory ? path : QFileInfo(path).path()))
        fail("the fixture can be made", path);
    if (!directory)
        writeFile(path, content);
}

bool staysBelow(const QString &root, const QString &relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')) || relative.contains(QChar(0)))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    if (parts.contains(QLatin1String("..")))
        return false;
    const QString joined = QDir::cleanPath(root + QLatin1Char('/') + relative);
    return joined.startsWith(QDir::cleanPath(root) + QLatin1Char('/'));
}

void fail(const char *property, const QString &detail)
{
    std::fprintf(stderr, "==FUZZ== property broken: %s\n", property);
    if (!detail.isEmpty()) {
        // Control characters (a NUL above all) shown as escapes, so that the line shows them.
        QByteArray shown;
        for (const char c : detail.toUtf8()) {
            if (uchar(c) < 0x20 || c == 0x7f)
                shown += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
            else
                shown += c;
        }
        std::fprintf(stderr, "==FUZZ== with: %s\n", shown.constData());
    }
    std::abort();
}

} // namespace Fuzz
