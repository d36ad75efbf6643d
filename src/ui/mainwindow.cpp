#include "ui/mainwindow.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "app/messagebox.h"
#include "app/processtools.h"
#include "app/singleinstancechecker.h"
#include "engine/updateengine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPixmap>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

const char ProductSite[] = "https://www.varnolt.com/";
constexpr int BannerWidth = 468;
constexpr int BannerHeight = 60;
// The detailed log keeps this many of the latest lines; the whole log goes to standard error.
// Lines are dropped in steps, so that trimming costs nothing on most appends.
constexpr int MaxLogLines = 5000;
constexpr int LogTrimLines = 500;

QString kiloBytes(quint64 bytes)
{
    return QString::number(bytes / 1000);
}

} // namespace

MainWindow::MainWindow(Configuration &config, QWidget *parent)
    : QWidget(parent), configuration(&config)
{
    engine = new UpdateEngine(config, this);
    // Everything that can open a modal box is queued: the box must open from
    // the event loop, never inside the emitting task, whose code goes on
    // after the emission and could otherwise be deleted under the box's own
    // event loop. An error's log line keeps its place among the others.
    connect(engine, &UpdateEngine::error, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError, Qt::QueuedConnection);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError,
            Qt::QueuedConnection);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished,
            Qt::QueuedConnection);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled,
            Qt::QueuedConnection);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);

    // Queued, so that the log's visibility has already followed the toggle
    // when the slot looks at it.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);

    varnoltLabel->setUrl(QString::fromLatin1(ProductSite));

    outputTextEdit->setVisible(false);
    // Nobody edits the log: an undo history would only keep every line alive a second time.
    outputTextEdit->setUndoRedoEnabled(false);
    onDownloadProgress(0, 0, 0, false);

    instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    engine->getBanner();
}

void MainWindow::setUIToConfigSpecs()
{
    if (configuration->channel == Beta)
        versionLabel->setText(tr("Beta channel"));
    else if (configuration->channel == Alpha)
        versionLabel->setText(tr("Alpha channel (%1)").arg(configuration->clientVersion));
    if (configuration->startMode == 2)
        startButton->setEnabled(false);
}

void MainWindow::showErrorBox(QWidget *parent, const QString &errorMessage)
{
    MessageBox::critical(parent, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
}

void MainWindow::onFatalConfigError(const QString &errorMessage)
{
    showErrorBox(nullptr, errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(const QString &errorMessage)
{
    showErrorBox(this, errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(const QString &errorMessage)
{
    showErrorBox(this, errorMessage);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        ProcessTools::startVl3Client();
        close();
        return;
    }
    if (engine->busy())
        return;
    if (!engine->initialize())
        return;
    startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::onAppendText(const QString &text)
{
    ConsoleLog::write(text);
    outputTextEdit->append(text);
    QTextDocument *log = outputTextEdit->document();
    const int excess = log->blockCount() - MaxLogLines - (logTrimmed ? 1 : 0);
    if (excess >= LogTrimLines)
        trimLog(excess);
}

void MainWindow::trimLog(int excess)
{
    // A run over many thousand files would otherwise keep every line of its log in memory.
    QTextDocument *log = outputTextEdit->document();
    QTextCursor cursor(log);
    if (!logTrimmed) {
        cursor.insertText(tr("Earlier lines are no longer shown here; the whole log is written "
                             "to standard error."));
        cursor.insertBlock();
        logTrimmed = true;
    }
    cursor.setPosition(log->findBlockByNumber(1).position());
    cursor.setPosition(log->findBlockByNumber(1 + excess).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    totalProgressBar->setValue(int(doneFrac * 1000));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    timeLeft.tick(downloadDone, downloadTotal, speed, downloading);
    const qint64 secondsLeft = timeLeft.secondsLeft();
    downloadSpeedLabel->setVisible(downloading);
    totalSizeLabel->setVisible(downloading);
    label_6->setVisible(downloading);
    totalTotalSizeLabel->setVisible(downloading);
    timeLeftLabel->setVisible(downloading && secondsLeft >= 0);
    if (!downloading)
        return;
    totalSizeLabel->setText(tr("%1 KB").arg(kiloBytes(downloadDone)));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(kiloBytes(downloadTotal)));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(kiloBytes(speed)));
    if (secondsLeft >= 0)
        timeLeftLabel->setText(tr("%1 left").arg(TimeLeftEstimate::format(secondsLeft)));
}

void MainWindow::onUpdateFinished()
{
    onDownloadProgress(0, 0, 0, false);
    // The user asked to close while the installation was already committed:
    // the run was let finish, and the window now closes as asked.
    if (abortRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = true;
    startButton->setText(tr("Start Varnolt"));
    startButton->setEnabled(true);
    startButton->setFocus();
}

void MainWindow::onUpdateCanceled()
{
    onDownloadProgress(0, 0, 0, false);
    if (abortRequested) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    totalProgressBar->setValue(0);
    MessageBox::critical(this, tr("Update"),
                         tr("Update cancelled. Push \"Details\" to check reasons."),
                         QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(const QString &message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(const QByteArray &bannerImage, const QString &clickUrl)
{
    QPixmap image;
    if (!image.loadFromData(bannerImage))
        return;
    banner->setUrl(clickUrl);
    banner->setPixmap(image.scaled(BannerWidth, BannerHeight));
}

void MainWindow::onDetailsPressed()
{
    if (!outputTextEdit->isVisible())
        return;
    QScrollBar *bar = outputTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (abortRequested)
        return;
    const QMessageBox::StandardButton answer = MessageBox::question(
        this, tr("Question"),
        tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    abortRequested = true;
    engine->cancelUpdate();
}
