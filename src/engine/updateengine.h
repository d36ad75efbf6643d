#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class Mirrors;
class MainTaskSpecification;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Owns one update run from preparation to clean-up and is the window's only
// partner. It prepares a run (signature library, mirror list, recovery of an
// interrupted session, temporary directory, session record, mirror pool),
// starts the root task, polls it once per tick for transfer figures, ends the
// run on the root task's outcome and removes the temporary files after a
// successful run. It also fetches the banner shown in the window.
//
// error, fatalError, updateFinished and updateCanceled are emitted from
// inside the engine's and the tasks' own code, which goes on running right
// after the emission (a failing download still gives its mirror back and ends
// itself). A receiver that may block in them, above all by opening a modal
// box, must connect with Qt::QueuedConnection: the box's nested event loop
// would otherwise run the rest of the run underneath the suspended emitter,
// and the end of the run could delete it there. The window does so.
//
// A run ends exactly once; no downloadProgress follows its end.
//
// Main thread only.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State { Idle = 0, Initialized = 1, Running = 2, Finished = 3, Canceled = 4 };

    // Reads the proxy and concurrency settings and applies the proxy to the
    // network access manager. An unusable proxy setting is reported through
    // fatalError, here and again by initialize(), so no run goes around it.
    UpdateEngine(Configuration &configuration, QObject *parent = nullptr);
    // A run still going is cancelled; the engine waits for the work on pool
    // threads that writes into the installation, and lets the run undo or
    // complete its installation before the tasks go.
    ~UpdateEngine() override;

    // Prepares a run. True when the engine is Initialized; on false the
    // reason went out through fatalError and the state is unchanged.
    // Refused (false, with a warning) while a run is Running.
    bool initialize();
    // Creates the root task and starts it. Call right after a successful
    // initialize(). Refused (false, with a warning) while a run is Running.
    bool startUpdate();
    // True while a run is prepared or running.
    bool busy() const;
    // Back to Idle after a cancelled run; the old root task is dropped.
    // Refused (false, with a warning) while a run is Running: its pool work
    // would go on writing into the installation with nobody to undo it.
    bool reset();
    // Starts the banner query; nothing happens while a banner image is
    // still being downloaded.
    void getBanner();
    // Removes the session's temporary directory (and the recorded one); the
    // record itself goes with the end of a successful run.
    void cleanup();

    State getState() const { return state; }
    QNetworkAccessManager *networkAccessManager() const { return networkManager; }
    Mirrors *mirrorPool() const { return mirrors; }
    // Tick length of the poll; the transfer speed and the download stall
    // time-outs count in ticks. Tests shorten it.
    void setTickInterval(int milliseconds);

    // Empties a directory tree, keeping the top directory and the file keep
    // in it. Symbolic links are neither followed nor deleted. Returns what
    // could not be removed, each as "path: reason".
    static QStringList cleanupDirectory(const QString &path, const QString &keep = QString());
    // Deletes the copies of the updater's own files ("_old_" + special name)
    // that an earlier run moved aside, in the given directory.
    static void removeOldFiles(const QString &directory);

    // Largest banner image accepted, announced or received.
    static constexpr qint64 MaxBannerBytes = 270000;

signals:
    void fatalError(const QString &errorMessage);
    void error(const QString &errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(const QString &message);
    // Exactly one of these two ends every started run.
    void updateFinished();
    void updateCanceled();
    void bannerFound(const QByteArray &bannerImage, const QString &clickUrl);

public slots:
    // Asks the running root task to cancel; the run ends later through
    // updateCanceled. No effect unless a run is Running.
    void cancelUpdate();
    // An answer of the banner query: downloads the image when both addresses
    // are web addresses.
    void onBannerFound(const QString &bannerUrl, const QString &clickUrl);

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void recordSession();
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    void applyProxySetting();
    // Empties and removes a session directory; true when it is gone.
    bool removeSessionDirectory(const QString &dir);
    // Removes this run's temporary directory unless update.ini records it.
    void removeUnrecordedSession();
    void reportLeftovers(const QStringList &failures);
    void reportSettingsSave(bool saved);
    void saveFileStates();
    void abandonBannerDownload();
    void dropMainTask();
    void abandonRun();

    State state = Idle;
    Configuration *configuration;
    Mirrors *mirrors = nullptr;
    MainTaskSpecification *mainTask = nullptr;
    QTimer *timer;
    QNetworkAccessManager *networkManager;
    QString bannerClickUrl;
    QNetworkReply *bannerReply = nullptr;
    QString proxyError;
};
