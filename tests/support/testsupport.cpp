#include "testsupport.h"

#include "app/configuration.h"
#include "downloadsupport.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <zlib.h>

UdpAnswerServer::UdpAnswerServer(const QList<QByteArray> &answers, const QByteArray &forgedAnswer)
    : answers(answers), forged(forgedAnswer)
{
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    // A short receive time-out lets the loop notice the stop request.
    timeval tv {0, 50000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    worker = std::thread([this] { serve(); });
}

UdpAnswerServer::~UdpAnswerServer()
{
    stopping = true;
    worker.join();
    ::close(fd);
}

QByteArray UdpAnswerServer::firstRequest() const
{
    // Written by the worker before the request count goes up.
    return requests.load() > 0 ? first : QByteArray();
}

void UdpAnswerServer::serve()
{
    while (!stopping) {
        char buffer[2048];
        sockaddr_in from;
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0)
            continue;
        const int index = requests.load();
        if (index == 0)
            first = QByteArray(buffer, int(n));
        requests.store(index + 1);
        if (answers.isEmpty())
            continue;
        const QByteArray &answer = answers.at(qMin(index, int(answers.size()) - 1));
        if (answer.isNull())
            continue;
        if (!forged.isEmpty()) {
            const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
            ::sendto(other, forged.constData(), size_t(forged.size()), 0,
                     reinterpret_cast<sockaddr *>(&from), fromLen);
            ::close(other);
        }
        ::sendto(fd, answer.constData(), size_t(answer.size()), 0,
                 reinterpret_cast<sockaddr *>(&from), fromLen);
    }
}

QString updaterExecutable()
{
    return QString::fromLocal8Bit(qgetenv("VARNOLT_UPDATE_EXE"));
}

InstallationDir::InstallationDir(const QString &exe)
{
    valid = dir.isValid() && !exe.isEmpty() && QFile::copy(exe, executable())
        && QFile::setPermissions(executable(),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void InstallationDir::writeFile(const QString &relative, const QByteArray &content) const
{
    ::writeFile(filePath(relative), content);
}

void InstallationDir::writeMirrorsIni(const QString &baseUrl) const
{
    writeFile(QStringLiteral("mirrors.ini"),
              mirrorsIniText({{QStringLiteral("local"), baseUrl, QString()}}));
}

QProcessEnvironment InstallationDir::environment(const QString &tempDir, const QString &boxAnswers,
                                                 quint16 serverPort) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
    env.insert(QStringLiteral("TMPDIR"), tempDir);
    if (boxAnswers.isEmpty())
        env.remove(QStringLiteral("VARNOLT_BOX_ANSWERS"));
    else
        env.insert(QStringLiteral("VARNOLT_BOX_ANSWERS"), boxAnswers);
    if (serverPort)
        env.insert(QStringLiteral("VARNOLT_UPDATE_SERVER"),
                   QStringLiteral("127.0.0.1:%1").arg(serverPort));
    else
        env.remove(QStringLiteral("VARNOLT_UPDATE_SERVER"));
    return env;
}

InstallationDir::Result InstallationDir::run(const QStringList &args,
                                             const QProcessEnvironment &env, int timeoutMs) const
{
    Result result;
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(path());
    process.start(executable(), args);
    if (!process.waitForStarted(10000))
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.standardError = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

RunningUpdater::RunningUpdater(const InstallationDir &dir, const QStringList &args,
                               const QProcessEnvironment &env, const QStringList &wrapper)
{
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path());
    // A group of its own, so that the end of the test also ends what a wrapper started: a
    // killed strace leaves its tracees running, a shell its background jobs.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    if (wrapper.isEmpty())
        process.start(dir.executable(), args);
    else
        process.start(wrapper.first(), wrapper.mid(1) + QStringList {dir.executable()} + args);
    if (process.waitForStarted(10000))
        group = process.processId();
}

RunningUpdater::~RunningUpdater()
{
    if (group > 0)
        ::kill(-pid_t(group), SIGKILL);
    process.waitForFinished(5000);
}

QString RunningUpdater::log()
{
    collected += QString::fromLocal8Bit(process.readAllStandardError());
    return collected;
}

bool RunningUpdater::waitForLog(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor(
               [&] { return log().contains(text) || process.state() == QProcess::NotRunning; },
               timeoutMs)
        && log().contains(text);
}

bool RunningUpdater::waitForEnd(int timeoutMs)
{
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
}

int RunningUpdater::exitCode() const
{
    return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
        ? process.exitCode()
        : -1;
}

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>

BoxAnswerer::BoxAnswerer(const QStringList &answers, QObject *parent)
    : QObject(parent), answers(answers)
{
    qApp->installEventFilter(this);
}

BoxAnswerer::~BoxAnswerer()
{
    qApp->removeEventFilter(this);
}

bool BoxAnswerer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        if (auto *box = qobject_cast<QMessageBox *>(watched)) {
            const QString buttonText = answers.isEmpty()
                ? QStringLiteral("OK")
                : answers.at(qMin(int(seen.size()), int(answers.size()) - 1));
            seen.append(box->windowTitle() + QLatin1String(": ") + box->text());
            QStringList buttonTexts;
            const QList<QAbstractButton *> buttons = box->buttons();
            for (const QAbstractButton *button : buttons)
                buttonTexts.append(button->text().remove(QLatin1Char('&')));
            seenButtons.append(buttonTexts);
            QPointer<QMessageBox> guarded(box);
            QMetaObject::invokeMethod(
                this,
                [this, guarded, buttonText] {
                    if (guarded)
                        answer(guarded, buttonText);
                },
                Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(watched, event);
}

void BoxAnswerer::answer(QMessageBox *box, const QString &buttonText)
{
    QAbstractButton *chosen = nullptr;
    const QList<QAbstractButton *> buttons = box->buttons();
    for (QAbstractButton *button : buttons) {
        if (button->text().remove(QLatin1Char('&')).compare(buttonText, Qt::CaseInsensitive) == 0)
            chosen = button;
    }
    if (!chosen && !buttons.isEmpty())
        chosen = buttons.first();
    if (chosen)
        chosen->click();
}

QString publishRelease(const QString &sourceDir, const QString &mirrorRoot, const QString &type,
                       int version, const QStringList &extraArgs)
{
    const QString tool = QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE"));
    const QString key = QString::fromLocal8Bit(qgetenv("VARNOLT_SIGNING_KEY"));
    if (tool.isEmpty() || key.isEmpty())
        return QStringLiteral("VARNOLT_RELEASE_EXE or VARNOLT_SIGNING_KEY is not set");
    QProcess process;
    process.start(tool,
                  QStringList {QStringLiteral("release"), QStringLiteral("--type"), type,
                               QStringLiteral("--version"), QString::number(version),
                               QStringLiteral("--source"), sourceDir, QStringLiteral("--out"),
                               mirrorRoot, QStringLiteral("--key"), key, QStringLiteral("--force")}
                      + extraArgs);
    if (!process.waitForFinished(60000))
        return QStringLiteral("the release tool did not finish");
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QString::fromLocal8Bit(process.readAllStandardError());
    return QString();
}

QString publishAsBeforeDigests(const QString &mirrorRoot, const QString &type, int version)
{
    const QString dir = mirrorRoot + QLatin1Char('/') + QString::number(version) + QLatin1Char('/');
    const QString iniPath = dir + type + QLatin1String(".ini");
    QByteArray ini;
    for (const QByteArray &line : readAll(iniPath).split('\n')) {
        if (!line.startsWith("digests_file"))
            ini += line + '\n';
    }
    ini.chop(1);
    if (!writeFile(iniPath, ini))
        return QStringLiteral("cannot write the ini");
    QProcess sign;
    sign.start(QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE")),
               {QStringLiteral("sign"), QStringLiteral("--key"),
                QString::fromLocal8Bit(qgetenv("VARNOLT_SIGNING_KEY")), iniPath});
    if (!sign.waitForFinished(60000) || sign.exitStatus() != QProcess::NormalExit
        || sign.exitCode() != 0)
        return QStringLiteral("cannot sign the ini: ") + sign.readAllStandardError();
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QLatin1String("::blocks")) || path.endsWith(QLatin1String(".ini.gz"))
            || path.contains(type + QLatin1String(".digests")))
            QFile::remove(path);
    }
    return QString();
}

void removeCompressedMetadata(const QString &mirrorRoot, const QString &type, int version)
{
    const QString dir = mirrorRoot + QLatin1Char('/') + QString::number(version) + QLatin1Char('/');
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String("::blocks.gz")) || path == dir + type + ".ini.gz"
            || path == dir + type + ".digests.gz")
            QFile::remove(path);
    }
}

QByteArray gzipped(const QByteArray &data)
{
    z_stream stream {};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        return QByteArray();
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))) + 64, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size() && file.flush();
}

bool writeTreeFile(const QString &root, const QString &relative, const QByteArray &content)
{
    return writeFile(root + QLatin1Char('/') + relative, content);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QMap<QString, QByteArray> treeDigests(const QString &root, const QStringList &skip)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (skip.contains(relative))
            continue;
        result.insert(relative,
                      it.fileInfo().isDir() ? QByteArray("dir") : md5OfFile(path).toLatin1());
    }
    return result;
}

QString md5OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i % 61);
    return bytes;
}

QStringList signalTexts(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts << arguments.at(0).toString();
    return texts;
}

bool writeSettingsFile(const QByteArray &content)
{
    return writeFile(Configuration::getSettingsFilePath(), content);
}

bool writeMirrorsFile(const QByteArray &content)
{
    return writeFile(Configuration::getAppRootPath() + QLatin1String("/mirrors.ini"), content);
}

QString FreshPaths::path(const QString &name)
{
    const QString subdir = QString::number(++serial);
    if (!QDir(dir.path()).mkpath(subdir))
        qFatal("cannot create %s", qPrintable(dir.filePath(subdir)));
    return dir.filePath(subdir + QLatin1Char('/') + name);
}

QString FreshPaths::write(const QString &name, const QByteArray &content)
{
    const QString file = path(name);
    if (!writeFile(file, content))
        qFatal("cannot write %s", qPrintable(file));
    return file;
}

QByteArray randomBytes(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}
