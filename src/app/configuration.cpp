#include "app/configuration.h"

#include "app/consolelog.h"
#include "app/messagebox.h"
#include "app/sessionmarker.h"
#include "app/updatechecker.h"
#include "app/updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef VARNOLT_UPDATE_SERVER_HOST
#define VARNOLT_UPDATE_SERVER_HOST "update.varnolt.com"
#endif

namespace {

constexpr int DefaultStreams = 6;
constexpr int MaxServerVersion = 2147483646;
constexpr int TempDirCandidates = 100;
// Session numbers are drawn below this (twelve decimal digits).
constexpr quint64 SessionNumbers = 1000000000000ULL;

} // namespace

Configuration::Configuration(QObject *parent) : QObject(parent) { }

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &args)
{
    versionFromServer = false;
    QStringList positional = args;
    verifyAll = takeVerifyOption(positional);
    boundReleaseInstalled = UpdateIniData::boundReleaseInstalled();
    return parseArguments(positional) && refuseDowngrade();
}

bool Configuration::takeVerifyOption(QStringList &args)
{
    const QString verify = QStringLiteral("--verify");
    bool found = false;
    for (qsizetype i = args.size() - 1; i >= 1; --i) {
        if (args.at(i) == verify) {
            args.removeAt(i);
            found = true;
        }
    }
    return found;
}

bool Configuration::refuseDowngrade()
{
    // A version named on the command line is the user's choice; one from the (unauthenticated)
    // version server must not take the installation back to an older release.
    int installed = 0;
    if (!versionFromServer || !UpdateIniData::installedVersion(clientType, &installed)
        || clientVersion >= installed)
        return true;
    emit fatalError(
        QObject::tr("Update server offers version %1, older than the installed version %2.")
            .arg(clientVersion)
            .arg(installed));
    return false;
}

bool Configuration::parseArguments(const QStringList &args)
{
    getUpdateChannel();
    const int n = int(args.size());
    const QString noUser = QStringLiteral("--nouser");

    if (n <= 1 || n >= 5)
        return getDefaultParameters();

    if (n == 2) {
        if (args.at(1) != noUser) {
            emit fatalError(QObject::tr("--nouser option is missing"));
            return false;
        }
        if (!getDefaultParameters())
            return false;
        startMode = 2;
        return true;
    }

    if (n == 3) {
        startMode = 1;
        return getClientTypeVersion(args, 1);
    }

    if (args.at(1) != noUser) {
        emit fatalError(QObject::tr("--nouser option is missing"));
        return false;
    }
    if (!getDefaultParameters())
        return false;
    startMode = 2;
    return getClientTypeVersion(args, 2);
}

void Configuration::getUpdateChannel()
{
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        channel = Alpha;
        clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        channel = beta ? Beta : Stable;
        clientVersion = 0;
    }
}

bool Configuration::getDefaultParameters()
{
    clientType = getUpdateType();
    if (clientVersion != 0) {
        startMode = 1;
        return true;
    }
    QString answer;
    const std::optional<QString> text = getLatestClientVersion(channel, &answer);
    if (!text)
        return false;
    const QString invalid = QObject::tr("Update server returned invalid version nr (%1)");
    // An answer without the channel's field is as invalid as any other; the
    // complaint shows what the server did send.
    if (text->isEmpty()) {
        emit fatalError(invalid.arg(answer));
        return false;
    }
    if (!getClientVersionFromString(*text, invalid))
        return false;
    // Only numbers a release can carry: none is 0 or below, and the largest int leaves no room
    // for a next one. Anything else would be looked for on every mirror in vain.
    if (clientVersion < 1 || clientVersion > MaxServerVersion) {
        emit fatalError(invalid.arg(answer));
        return false;
    }
    versionFromServer = true;
    startMode = 1;
    return true;
}

bool Configuration::getClientTypeVersion(const QStringList &args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QObject::tr("No client type specified"));
        return false;
    }
    clientType = args.at(index);
    versionFromServer = false;
    if (index + 1 >= args.size()) {
        emit fatalError(QObject::tr("No client version specified"));
        return false;
    }
    return getClientVersionFromString(args.at(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString &text, const QString &errorTemplate)
{
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(errorTemplate.arg(text));
    return false;
}

std::optional<QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString *answer)
{
    UpdateChecker checker(UpdateChecker::defaultHost(), UpdateChecker::defaultPort(),
                          versionQueryTimeoutMs);
    for (int retries = 0;; ++retries) {
        if (checker.checkUpdate()) {
            QByteArray field = checker.getClientStableVersion();
            if (channel == Beta)
                field = checker.getClientBetaVersion();
            else if (channel == Alpha)
                field = checker.getClientAlphaVersion();
            if (answer)
                *answer = QString::fromLatin1(checker.getAnswer());
            return QString::fromLatin1(field);
        }
        const QString title = QObject::tr("Error");
        const QString text
            = QObject::tr("Failed to query latest client\nversion from update server.");
        if (versionQueryRetries >= 0) {
            ConsoleLog::writeBox(title, text);
            if (retries >= versionQueryRetries)
                return std::nullopt;
            continue;
        }
        const QMessageBox::StandardButton choice
            = MessageBox::critical(nullptr, title, text, QMessageBox::Retry | QMessageBox::Abort);
        if (choice == QMessageBox::Abort)
            return std::nullopt;
    }
}

QLatin1String Configuration::channelName(UpdateChannel channel)
{
    switch (channel) {
    case Beta:
        return QLatin1String("beta");
    case Alpha:
        return QLatin1String("alpha");
    case Stable:
        break;
    }
    return QLatin1String("stable");
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    streams = settings.value(QStringLiteral("streams"), DefaultStreams).toInt();
    streamsGiven = streams >= 1 && settings.contains(QStringLiteral("streams"));
    if (streams < 1)
        streams = DefaultStreams;
    bool isNumber = false;
    const qint64 mebibytes = settings.value(QStringLiteral("segmentfrom")).toLongLong(&isNumber);
    // Up to a petabyte: the count of bytes must not overflow.
    segmentFrom = isNumber && mebibytes >= 0 && mebibytes < (qint64(1) << 30)
        ? mebibytes * 1024 * 1024
        : DefaultSegmentFrom;
    const qint64 pace = settings.value(QStringLiteral("segmentpace")).toLongLong(&isNumber);
    segmentPace = isNumber && pace >= 0 && pace < (qint64(1) << 30) ? pace * 1024 * 1024
                                                                    : DefaultSegmentPace;
}

bool Configuration::initalizeStart(const QString &previousDir)
{
    // Its partial files are resumed and its finished ones installed, so an earlier session's
    // directory is taken only while it is still this user's private directory: one that was
    // removed meanwhile (a reboot empties /tmp) could have been recreated by anyone.
    struct stat info;
    if (!previousDir.isEmpty() && ::lstat(QFile::encodeName(previousDir).constData(), &info) == 0
        && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0) {
        tempDir = previousDir;
        // An older updater's session carries no marker; this one gets it now, so that a later
        // start can tell it is this installation's once it is no longer recorded.
        const QByteArray identity = SessionMarker::identity(getAppRootPath());
        QString problem;
        if (SessionMarker::owner(previousDir, identity) == SessionMarker::Unmarked)
            SessionMarker::write(previousDir, identity, &problem);
        return true;
    }
    return createTempDir();
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(tr("Unable to get temp directory."));
        return false;
    }
    QDir().mkpath(base);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += getTempDirPrefix();

    // Names nobody can guess: in a shared temporary directory another local user could create
    // every predictable name first and stop all updates. A name taken anyway is skipped.
    for (int i = 0; i < TempDirCandidates; ++i) {
        const QString candidate
            = base + QString::number(QRandomGenerator::system()->generate64() % SessionNumbers);
        // Created private in one step: the session directory holds files that
        // will be installed, so no other local user may read or plant files
        // in it, not even for an instant.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            // Its first content says whose it is: a run killed before recording it leaves it to
            // the next start of this installation (StartupLeftovers), and to no one else.
            QString problem;
            if (!SessionMarker::write(candidate, SessionMarker::identity(getAppRootPath()),
                                      &problem)) {
                ::unlink(QFile::encodeName(candidate + QLatin1Char('/') + SessionMarker::fileName())
                             .constData());
                ::rmdir(QFile::encodeName(candidate).constData());
                emit fatalError(
                    tr("Unable to create temp directory %1: %2").arg(candidate, problem));
                return false;
            }
            tempDir = candidate;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    emit fatalError(tr("Unable to create temp directory."));
    return false;
}

bool Configuration::isSpecialFileName(const QString &name) const
{
    return getSpecialFileNames().contains(name);
}

QString Configuration::getAppRootPath()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getSettingsFilePath()
{
    return getAppRootPath() + QLatin1String("/update.ini");
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_amd64");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("vl3client_runscript.sh");
}

QStringList Configuration::getSpecialFileNames()
{
    return {QStringLiteral("update"),
            QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"),
            QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),
            QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so")};
}

const QString &Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

const QStringList &Configuration::getExecutableFiles()
{
    static const QStringList names
        = {QStringLiteral("vl3client_linux_x86"), QStringLiteral("vl3client_linux_amd64"),
           QStringLiteral("vl3client_runscript.sh"), QStringLiteral("update")};
    return names;
}

const QStringList &Configuration::getExecutableSuffixes()
{
    static const QStringList suffixes = {QStringLiteral("so"), QStringLiteral("so.4")};
    return suffixes;
}

QString Configuration::getTempDirPrefix()
{
    return QStringLiteral("varnolt_temp_");
}

QByteArray Configuration::getUpdateServerHost()
{
    const QByteArray env = qgetenv("VARNOLT_UPDATE_SERVER");
    if (env.isEmpty())
        return QByteArrayLiteral(VARNOLT_UPDATE_SERVER_HOST);
    const int colon = int(env.lastIndexOf(':'));
    return colon < 0 ? env : env.left(colon);
}

quint16 Configuration::getUpdateServerPort()
{
    const QByteArray env = qgetenv("VARNOLT_UPDATE_SERVER");
    const int colon = int(env.lastIndexOf(':'));
    if (colon < 0)
        return 0;
    bool ok = false;
    const uint port = env.mid(colon + 1).toUInt(&ok);
    return ok && port > 0 && port <= 0xffff ? quint16(port) : 0;
}
