#pragma once

#include "tasks/composedtaskspecification.h"

#include <QPointer>

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// First step of every run: brings the product ini and its signature into the
// session's temporary directory and verifies the signature with the built-in
// key. Files an interrupted run left behind are reused and only verified.
// When the signature does not verify, the mirror that served the ini is
// charged with an error and both files are fetched again from mirrors chosen
// afresh, up to the retry limit. When every mirror answers the product ini with 404, the
// version is on none of them: the run ends with "Version %1 of %2 is not available on any
// mirror" (a mirror not yet synced, or a version that does not exist).
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    static constexpr int DefaultRetryLimit = 1000;
    // The product ini and its signature have no announced size; these caps
    // keep a broken or hostile mirror from filling the disk.
    static constexpr qint64 MaxIniBytes = 64 * 1024 * 1024;
    static constexpr qint64 MaxSignatureBytes = 4096;

    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 Configuration *configuration, QObject *parent,
                                 double parentProgressRange);

    void execute() override;
    // Deletes the subtasks and forgets the failed verifications.
    void reset() override;

    // Failed verifications tolerated before the task gives up. Tests lower it.
    void setRetryLimit(int limit) { retryLimit = limit; }
    int getRetryCount() const { return retryCount; }

    QString localIniPath() const;
    QString remoteIniPath() const;

protected:
    // Names a version that no mirror has before the run ends.
    void subtasksDone() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    int retryCount = 0;
    int retryLimit = DefaultRetryLimit;
    // The ini download of the current attempt; null when the ini on disk was reused.
    QPointer<DownloadTaskSpecification> iniDownload;
};
