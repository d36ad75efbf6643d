#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

enum UpdateChannel { Stable = 0, Beta = 1, Alpha = 2 };

// The parameters of one run, settled from the command line, update.ini and,
// when the command line names no version, the version server. Also the home
// of the fixed names the rest of the updater relies on.
//
// One instance per process, created before the window and handed by pointer
// or reference to whoever needs it. Lives on the main thread.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject *parent = nullptr);

    // Settles startMode, channel, clientType and clientVersion from the
    // arguments of the application object. False when the run cannot go on;
    // the reason was then given through fatalError or the user aborted the
    // version query. A version from the version server that is older than
    // the one update.ini records as installed for the type is refused. Call
    // once.
    bool parseCommandLineOptions();
    // The same for an explicit argument list (args[0] being the program).
    // "--verify" may stand anywhere after the program; it sets verifyAll.
    bool parseCommandLineOptions(const QStringList &args);
    // Removes every "--verify" after args[0]; true when there was one.
    static bool takeVerifyOption(QStringList &args);

    // Reads the Channel group of update.ini into channel and clientVersion.
    void getUpdateChannel();
    bool getDefaultParameters();
    bool getClientTypeVersion(const QStringList &args, int index);
    bool getClientVersionFromString(const QString &text, const QString &errorTemplate);
    // Asks the version server, with a Retry/Abort box while it does not
    // answer. Nothing when the user chose Abort; otherwise the channel's
    // field, empty when the answer has none. The whole answer goes to
    // answer when given.
    std::optional<QString> getLatestClientVersion(UpdateChannel channel, QString *answer = nullptr);
    // "stable", "beta" or "alpha", for log lines.
    static QLatin1String channelName(UpdateChannel channel);

    // Reads the update group of update.ini into proxy, streams, segmentFrom and segmentPace.
    void getProxyAndDownloadConcurrency();

    // Uses previousDir as the session directory when it is this user's private directory
    // (owned by the user, no access for others), else creates one.
    bool initalizeStart(const QString &previousDir);
    bool createTempDir();

    bool isSpecialFileName(const QString &name) const;

    static QString getAppRootPath();
    static QString getSettingsFilePath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    static QStringList getSpecialFileNames();
    static const QString &getSpecialFileRenamePrefix();
    static const QStringList &getExecutableFiles();
    static const QStringList &getExecutableSuffixes();
    static QString getTempDirPrefix();

    // Host and port of the version and banner servers: the host built in, or
    // VARNOLT_UPDATE_SERVER ("host" or "host:port") from the environment.
    // The port is 0 when the environment names none.
    static QByteArray getUpdateServerHost();
    static quint16 getUpdateServerPort();

    // 0 while parsing, 1 manual start, 2 automatic start ("--nouser").
    int startMode = 0;
    UpdateChannel channel = Stable;
    QString clientType;
    qint32 clientVersion = 0;
    QString tempDir;
    QString proxy;
    int streams = 6;
    // Whether update.ini set streams. Without it, the downloads at once grow with the slots of
    // mirrors that answer over HTTP/2.
    bool streamsGiven = false;
    // Files of at least this many bytes come from every mirror at once, in segments: "segmentfrom"
    // of the update group, in MiB, 0 for never.
    static constexpr qint64 DefaultSegmentFrom = 32 * 1024 * 1024;
    qint64 segmentFrom = DefaultSegmentFrom;
    // No segment is split into parts smaller than this.
    qint64 segmentMinimum = 4 * 1024 * 1024;
    // Such a file starts as a whole download from one mirror, and is split over the mirrors
    // once it has come at less than this many bytes a second for two ticks: a mirror that
    // keeps the disk and the digest busy alone gains nothing from help. "segmentpace" of the
    // update group, in MiB per second; 0 splits at once.
    static constexpr qint64 DefaultSegmentPace = 32 * 1024 * 1024;
    qint64 segmentPace = DefaultSegmentPace;
    // How long one version query waits for its answer.
    int versionQueryTimeoutMs = 5000;
    // -1: a failed version query asks the user whether to retry. 0 or more:
    // nobody is there to ask; the query is retried this many times without a
    // box, and then given up as with Abort.
    int versionQueryRetries = -1;
    // "--verify": every installed file is read for its MD5, whatever the file-state cache
    // says, and the cache is renewed from what they hold.
    bool verifyAll = false;
    // Read from update.ini at the start: this installation has installed a release whose product
    // ini was bound to its type and version, so product inis without a binding are refused.
    bool boundReleaseInstalled = false;
    // The side file of this run's accepted product ini in tempDir (its SHA-256 digests of the
    // stored files); empty while none is accepted or for a release published without one.
    QString sideFilePath;
    // The file at sideFilePath is the release's digests file: it binds each block list, a file
    // of its own that the download using it fetches, instead of carrying the lists.
    bool blockListsApart = false;
    // This run's accepted product ini is bound to its type and version; the end of a successful
    // run records that in update.ini, for boundReleaseInstalled.
    bool releaseBound = false;
    // This run's product ini, signatures and digests are the installation's kept copy
    // (KeptRelease), checked instead of fetched: the run writes no new copy.
    bool keptReleaseUsed = false;
    // The product ini of the installed release, restored from the kept copy into tempDir when
    // the run installs another version; empty when there is none.
    QString installedIniPath;

signals:
    // The run cannot go on; the window shows the text and ends with code 1.
    void fatalError(const QString &errorMessage);
    void message(const QString &message);

private:
    bool parseArguments(const QStringList &args);
    bool refuseDowngrade();

    // Whether clientVersion is the version server's answer.
    bool versionFromServer = false;
};
