#include "app/headlessrunner.h"

#include "app/configuration.h"
#include "app/consolelog.h"
#include "engine/updateengine.h"

namespace {

constexpr quint64 BytesPerMegabyte = 1000 * 1000;

QString kiloBytes(quint64 bytes)
{
    return QString::number(bytes / 1000);
}

} // namespace

HeadlessRunner::HeadlessRunner(Configuration &configuration, QObject *parent)
    : QObject(parent), engine(new UpdateEngine(configuration, this))
{
    connect(&configuration, &Configuration::fatalError, this,
            &HeadlessRunner::onConfigurationError);
    connect(engine, &UpdateEngine::fatalError, this, &HeadlessRunner::onFatalError);
    connect(engine, &UpdateEngine::error, this, &HeadlessRunner::onError);
    connect(engine, &UpdateEngine::message, this, &ConsoleLog::write);
    connect(engine, &UpdateEngine::updateProgress, this, &HeadlessRunner::onProgress);
    connect(engine, &UpdateEngine::downloadProgress, this, &HeadlessRunner::onDownloadProgress);
    connect(engine, &UpdateEngine::updateFinished, this, &HeadlessRunner::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &HeadlessRunner::onUpdateCanceled);
}

QString HeadlessRunner::progressLine(qreal doneFrac, quint64 downloadDone, quint64 downloadTotal,
                                     quint64 speed, bool downloading, qint64 secondsLeft)
{
    const int percent = qBound(0, int(doneFrac * 100), 100);
    if (!downloading)
        return tr("Progress %1%").arg(percent);
    const QString rate = speed >= BytesPerMegabyte
        ? tr("%1 MB/s").arg(double(speed) / BytesPerMegabyte, 0, 'f', 1)
        : tr("%1 KB/s").arg(kiloBytes(speed));
    const QString line = tr("Progress %1% - %2 KB / %3 KB at %4")
                             .arg(percent)
                             .arg(kiloBytes(downloadDone), kiloBytes(downloadTotal), rate);
    return secondsLeft < 0 ? line
                           : tr("%1, %2 left").arg(line, TimeLeftEstimate::format(secondsLeft));
}

void HeadlessRunner::start()
{
    if (ended || engine->busy())
        return;
    if (!engine->initialize()) {
        // The reason went out through fatalError, which ended the run with
        // its code; a failure without one is still a failed preparation.
        end(PreparationFailed);
        return;
    }
    engine->startUpdate();
}

void HeadlessRunner::cancel()
{
    if (ended || cancelRequested)
        return;
    cancelRequested = true;
    if (engine->getState() != UpdateEngine::Running) {
        ConsoleLog::write(tr("Update cancelled before it started"));
        end(Cancelled);
        return;
    }
    ConsoleLog::write(tr("Cancelling the update..."));
    engine->cancelUpdate();
}

void HeadlessRunner::onConfigurationError(const QString &errorMessage)
{
    ConsoleLog::writeBox(QObject::tr("Error"), errorMessage);
    end(InvalidConfiguration);
}

void HeadlessRunner::onFatalError(const QString &errorMessage)
{
    ConsoleLog::writeBox(QObject::tr("Error"), errorMessage);
    end(PreparationFailed);
}

void HeadlessRunner::onError(const QString &errorMessage)
{
    // The window shows a box and goes on when it is confirmed; so does this.
    ConsoleLog::writeBox(QObject::tr("Error"), errorMessage);
}

void HeadlessRunner::onProgress(qreal doneFrac)
{
    progress = doneFrac;
}

void HeadlessRunner::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                        bool downloading)
{
    // The engine reports once per tick while it runs, and once more with
    // zeros when the run has ended; that one says nothing.
    if (engine->getState() != UpdateEngine::Running)
        return;
    timeLeft.tick(downloadDone, downloadTotal, speed, downloading);
    const QString line = progressLine(progress, downloadDone, downloadTotal, speed, downloading,
                                      timeLeft.secondsLeft());
    // A phase without visible change (unpacking a large file) would repeat
    // the same line every second.
    if (line == lastProgressLine)
        return;
    lastProgressLine = line;
    ConsoleLog::write(line);
}

void HeadlessRunner::onUpdateFinished()
{
    end(Finished);
}

void HeadlessRunner::onUpdateCanceled()
{
    ConsoleLog::write(tr("Update cancelled"));
    end(cancelRequested ? Cancelled : RunFailed);
}

void HeadlessRunner::end(ExitCode code)
{
    if (ended)
        return;
    ended = true;
    emit finished(int(code));
}
