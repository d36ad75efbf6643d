#include "manifest/keptrelease.h"

#include "fileops/sessionfile.h"
#include "fileops/stagedfile.h"
#include "manifest/releasebinding.h"
#include "manifest/sidefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray Header = QByteArrayLiteral("varnolt-kept-release 1\n");
constexpr qint64 CopyChunk = 1024 * 1024;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString KeptRelease::fileName()
{
    return QStringLiteral("update.release");
}

bool KeptRelease::write(const QString &destination, const QList<Part> &parts, QString *problem)
{
    // Left by a crash where unnamed files are not supported; the staged file needs the name.
    ::unlink(QFile::encodeName(StagedFile::temporaryName(destination)).constData());
    StagedFile out(destination);
    if (!out.isOpen()) {
        *problem = systemError();
        return false;
    }
    if (!StagedFile::writeAll(out.handle(), Header.constData(), Header.size())) {
        *problem = systemError();
        return false;
    }
    for (const Part &part : parts) {
        QFile in;
        if (!SessionFile::openForReading(in, part.path)) {
            *problem = QStringLiteral("%1: %2").arg(part.path, in.errorString());
            return false;
        }
        const QByteArray head
            = "file " + part.name.toUtf8() + ' ' + QByteArray::number(in.size()) + '\n';
        if (!StagedFile::writeAll(out.handle(), head.constData(), head.size())) {
            *problem = systemError();
            return false;
        }
        qint64 left = in.size();
        while (left > 0) {
            const QByteArray chunk = in.read(qMin(left, CopyChunk));
            if (chunk.isEmpty()) {
                *problem = QStringLiteral("%1: %2").arg(part.path, in.errorString());
                return false;
            }
            if (!StagedFile::writeAll(out.handle(), chunk.constData(), chunk.size())) {
                *problem = systemError();
                return false;
            }
            left -= chunk.size();
        }
        if (!StagedFile::writeAll(out.handle(), "\n", 1)) {
            *problem = systemError();
            return false;
        }
    }
    if (!out.commit(StagedFile::KeepMode, StagedFile::Replace)
        || !StagedFile::syncDirectory(QFileInfo(destination).absolutePath())) {
        *problem = systemError();
        return false;
    }
    return true;
}

bool KeptRelease::remove(const QString &path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return errno == ENOENT;
    StagedFile::syncDirectory(QFileInfo(path).absolutePath());
    return true;
}

bool KeptRelease::restore(const QString &source, const QString &directory, QStringList *names,
                          QString *problem)
{
    names->clear();
    QFile in;
    if (!SessionFile::openForReading(in, source)) {
        *problem = in.errorString();
        return false;
    }
    if (in.size() > MaxBytes) {
        *problem = QStringLiteral("it is larger than %1 bytes").arg(MaxBytes);
        return false;
    }
    if (in.read(Header.size()) != Header) {
        *problem = QStringLiteral("it does not begin with \"%1\"")
                       .arg(QString::fromLatin1(Header.trimmed()));
        return false;
    }
    if (!QDir().mkdir(directory)) {
        *problem = QStringLiteral("could not create %1").arg(directory);
        return false;
    }
    QSet<QString> seen;
    while (!in.atEnd()) {
        const QByteArray head = in.readLine(512);
        const QList<QByteArray> fields = head.trimmed().split(' ');
        qint64 size = 0;
        if (!head.endsWith('\n') || fields.size() != 3 || fields.at(0) != "file"
            || !SideFile::parseNumber(fields.at(2), 12, &size)) {
            *problem = QStringLiteral("it is malformed after %1 bytes").arg(in.pos() - head.size());
            return false;
        }
        const QString name = QString::fromUtf8(fields.at(1));
        if (!ReleaseBinding::isPlainFileName(name) || seen.contains(name)
            || seen.size() >= MaxFiles) {
            *problem = QStringLiteral("it names the file \"%1\"").arg(name.left(80));
            return false;
        }
        seen.insert(name);
        if (size + 1 > in.size() - in.pos()) {
            *problem = QStringLiteral("it is cut short in %1").arg(name);
            return false;
        }
        const QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + name);
        const int fd
            = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            *problem = QStringLiteral("%1: %2").arg(QFile::decodeName(path), systemError());
            return false;
        }
        bool written = true;
        for (qint64 left = size; left > 0 && written;) {
            const QByteArray chunk = in.read(qMin(left, CopyChunk));
            written = !chunk.isEmpty() && StagedFile::writeAll(fd, chunk.constData(), chunk.size());
            left -= chunk.size();
        }
        ::close(fd);
        if (!written || in.read(1) != "\n") {
            *problem = QStringLiteral("it is cut short in %1").arg(name);
            return false;
        }
        names->append(name);
    }
    return true;
}
