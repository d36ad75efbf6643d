#pragma once

#include "engine/timeleftestimate.h"
#include "ui_mainwindow.h"

#include <QWidget>

class Configuration;
class UpdateEngine;
class SingleInstanceChecker;

// The updater's only window: channel, progress, transfer figures, the
// detailed log, a banner and the start button. It owns the update engine and
// the single-instance listener, starts runs, reports errors in boxes, asks
// before closing during a run, and starts the client after a successful run.
class MainWindow : public QWidget, public Ui::MainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration &configuration, QWidget *parent = nullptr);

    // Shows the channel and, in automatic mode, disables the start button.
    // Called once after the command line was parsed.
    void setUIToConfigSpecs();

    UpdateEngine *updateEngine() const { return engine; }

public slots:
    // Exactly what a press of the start button does, also while it is
    // disabled. Scheduled once by start-up in automatic mode.
    void onAutoStartUpdate();
    // One line of the detailed log (also written to standard error).
    void onAppendText(const QString &text);

protected:
    // Refused while a run is busy; the user is asked whether to abort it.
    // The program ends once the run has ended, cancelled or, when the
    // installation was already committed, finished.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalConfigError(const QString &errorMessage);
    void onFatalError(const QString &errorMessage);
    void onError(const QString &errorMessage);
    void on_startButton_clicked();
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(const QString &message);
    void onBannerFound(const QByteArray &bannerImage, const QString &clickUrl);
    void onDetailsPressed();

private:
    void showErrorBox(QWidget *parent, const QString &errorMessage);
    // Drops the @p excess oldest lines of the log, below a first line that says so.
    void trimLog(int excess);

    Configuration *configuration;
    UpdateEngine *engine;
    SingleInstanceChecker *instanceChecker;
    bool updateDone = false;
    bool abortRequested = false;
    // The log's first line says that earlier lines were dropped.
    bool logTrimmed = false;
    // Fed with each tick's download figures.
    TimeLeftEstimate timeLeft;
};
