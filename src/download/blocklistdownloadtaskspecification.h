#pragma once

#include "tasks/composedtaskspecification.h"

#include <QByteArray>
#include <QPointer>
#include <QSet>
#include <QString>

class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

/**
 * @class BlockListDownloadTaskSpecification
 * @brief Fetches one stored file's block list file into the session and checks it against the
 * SHA-256 and size the digests file binds it by.
 *
 * The list is asked for compressed first (DownloadTaskSpecification::setCompressedFirst()). A
 * mirror that lacks it (404), sends a broken body or a list that does not match its binding is
 * charged one error and the list is asked of another mirror, up to MaxFailedMirrors mirrors and
 * only while one is left that has not failed it. Then the task gives up: a list only saves
 * bytes, so its absence is no failure of the run. listDone() tells the outcome just before the
 * task finishes; whatever the downloads report as an error goes to the log as a message. Only a
 * user's cancel ends the task otherwise. A list that cannot be had leaves no file behind.
 *
 * Main thread only; the manager and the pool are not owned and must outlive the task.
 */
class BlockListDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr int MaxFailedMirrors = 2;

    BlockListDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                       const QString &remotePath, const QString &localPath,
                                       const QByteArray &sha256, qint64 size, QObject *parent,
                                       double parentProgressRange);

    void execute() override;
    /// Gives a running download's mirror back, discards the subtasks, then the base reset.
    void reset() override;

    /// Whether the file at @p path has @p size bytes and the raw SHA-256 @p sha256: a list kept
    /// from an earlier run of the session is taken without asking any mirror.
    static bool holdsList(const QString &path, const QByteArray &sha256, qint64 size);

signals:
    /// The list lies checked at the local path (@p got), or cannot be had.
    void listDone(bool got);

protected:
    void connectSignals(TaskSpecification *subTask) override;
    void subtasksDone() override;

private:
    void startAttempt();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    const QString remotePath;
    const QString localPath;
    const QByteArray sha256;
    const qint64 size;
    QPointer<DownloadTaskSpecification> download;
    // The mirrors that failed the list in this run.
    QSet<QString> failed;
};
