#pragma once

#include "engine/timeleftestimate.h"

#include <QObject>
#include <QString>

class Configuration;
class UpdateEngine;

// Drives one update run without a window, for scripts and services: it
// starts the run at once, writes the engine's log lines and a progress line
// per tick to standard error, answers what the window would ask with fixed
// answers, and ends with an exit code that tells how the run went.
//
// Contract: create with a configuration whose command line has been parsed,
// call start() once the event loop runs (or before it), and wait for
// finished(). finished() is emitted exactly once, with one of the ExitCode
// values; afterwards the runner does nothing more. cancel() may come at any
// time: before or during the run it ends the run as the window's "abort" does
// (the installation is rolled back) and the run ends with Cancelled.
//
// Main thread only. Creates no widgets.
class HeadlessRunner : public QObject
{
    Q_OBJECT
public:
    enum ExitCode {
        Finished = 0, ///< the installation now holds the requested version
        InvalidConfiguration = 1, ///< command line, settings or the version query failed
        PreparationFailed = 2, ///< the engine could not prepare the run (e.g. no mirrors.ini)
        RunFailed = 3, ///< the run failed and was rolled back
        Cancelled = 4, ///< SIGINT/SIGTERM: the run was cancelled and rolled back
        AlreadyRunning = 5 ///< another updater runs in this installation
    };
    Q_ENUM(ExitCode)

    explicit HeadlessRunner(Configuration &configuration, QObject *parent = nullptr);

    // The progress line for the given figures, as written once per tick:
    // "Progress 45% - 915 KB / 8308 KB at 1.2 MB/s, 2:10 left" while downloading (the time left
    // only when secondsLeft is known, see TimeLeftEstimate), "Progress 45%" otherwise.
    static QString progressLine(qreal doneFrac, quint64 downloadDone, quint64 downloadTotal,
                                quint64 speed, bool downloading, qint64 secondsLeft = -1);

public slots:
    // Prepares and starts the run.
    void start();
    // Ends the run by cancellation; a run that has not started does not
    // start. A second request while the cancellation goes on is ignored.
    void cancel();

signals:
    void finished(int exitCode);

private slots:
    void onConfigurationError(const QString &errorMessage);
    void onFatalError(const QString &errorMessage);
    void onError(const QString &errorMessage);
    void onProgress(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();

private:
    void end(ExitCode code);

    UpdateEngine *engine;
    qreal progress = 0;
    QString lastProgressLine;
    bool cancelRequested = false;
    bool ended = false;
    // Fed each tick while the run downloads.
    TimeLeftEstimate timeLeft;
};
