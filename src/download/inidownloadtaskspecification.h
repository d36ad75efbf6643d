#pragma once

#include "manifest/manifestcheck.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// First step of every run: brings the product ini and its signature into the session's
// temporary directory and accepts it only when a trusted key's signature verifies and the ini is
// the release the run asked for (ManifestVerdict). Files an interrupted run left behind are
// reused and only checked.
//
// When the first signature does not verify, the further signatures (TYPE.ini.sigs, which only
// releases signed with several keys carry) are fetched and tried, once per attempt. An ini that
// is still not verified, is bound to another client type or version, has expired, or carries no
// binding where one is required, is refused: the mirror that served it is charged with an error
// and the files are fetched again from mirrors chosen afresh, up to the retry limit. When no
// mirror is left, the run ends with the last refusal as its error. When every mirror answers the
// product ini with 404, the version is on none of them: the run ends with "Version %1 of %2 is not
// available on any mirror".
//
// An ini and signature kept from an interrupted session are reused only while the signature the
// mirrors serve is still the kept one: a release published again under the same version (a new
// signature) is fetched anew, without charging any mirror, instead of making every mirror's
// files fail against the old ini. When the current signature cannot be had, the kept files are
// used as they are.
//
// The ini is asked for compressed first (TYPE.ini.gz, DownloadTaskSpecification::
// setCompressedFirst()); what it inflates to is what the signature must verify.
//
// A bound ini names a side file with the SHA-256 of every stored file; it is fetched next and
// must have the size and SHA-256 the ini gives, or it is refused like the ini. An ini that names
// a digests file as well has that fetched instead (compressed first), checked the same way, and
// the side file is never fetched. Once accepted, the configuration names the file fetched
// (sideFilePath), says whether it is a digests file whose block lists are files of their own
// (blockListsApart) and whether the release is bound (releaseBound).
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
    // Names a version that no mirror has, or the last refusal, before the run ends.
    void subtasksDone() override;

private slots:
    void onManifestChecked(const ManifestVerdict &verdict);
    void onSideFileChecked(bool pass, CheckSignatureTaskSpecification *task);
    void onCurrentSignatureFetched();

private:
    void makeSubtasksAndStart();
    // Examines the installation's kept copy of the installed release (KeptReleaseCheck): true
    // when it stands in for this run's product ini, which then needs no request; a copy that
    // tells only what the installed release brought is restored for the list building; a
    // refused one is removed.
    bool takeKeptRelease();
    void addManifestCheck(bool tryFurtherSignatures);
    void addSideFileSubtasks(const ReleaseBinding &binding);
    // Charges the mirror that served the refused file and starts a new attempt, or ends the run
    // with the reason when the retries are used up. The log says retryLine instead of the reason
    // while there are retries left, when one is given.
    void refuse(const QString &reason, const QString &mirror, const QString &retryLine = QString());
    QString iniSource() const;
    // Where the signature the mirrors serve now is put, to be compared with the kept one.
    QString currentSignaturePath() const;

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    int retryCount = 0;
    int retryLimit = DefaultRetryLimit;
    // The ini download of the current attempt; null when the ini on disk was reused.
    QPointer<DownloadTaskSpecification> iniDownload;
    QPointer<DownloadTaskSpecification> sideFileDownload;
    QString lastRefusal;
    // The mirrors' signature differed from the kept one: this attempt fetches both files.
    bool republished = false;
};
