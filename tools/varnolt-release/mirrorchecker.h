#pragma once

#include "manifest/cryptotools.h"
#include "manifest/releasebinding.h"
#include "manifest/sha256.h"
#include "manifest/sidefile.h"

#include <QCryptographicHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

/// Checks that a mirror holds one published release completely and correctly, before users
/// are pointed at it.
///
/// It fetches BASEURL/VERSION/TYPE.ini and its signatures, verifies them with the given key (or
/// the trusted keys), checks its release binding and side file, then asks the mirror for every
/// file the manifest lists, several at a time: a HEAD
/// request whose Content-Length must equal the manifest's size or, in full mode, a download
/// whose size and MD5 must equal the manifest's. Redirects are not followed, as the updater
/// does not follow them either.
///
/// Contract: start() once; every missing or wrong file is reported through problem() as one
/// line; finished() comes exactly once at the end, true when the mirror is complete and
/// correct. A manifest that cannot be fetched or does not verify ends the check with false
/// after one problem() line. Main thread; needs the event loop.
class MirrorChecker : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QUrl baseUrl;
        QString clientType;
        QString version;
        /// Download every file and compare MD5s instead of asking for sizes only.
        bool full = false;
        /// Requests at a time.
        int parallel = 6;
        /// A request that transfers nothing for this long fails.
        int transferTimeoutMs = 30000;
    };

    /// key is borrowed and must outlive the check; null checks with the keys this program
    /// trusts, as an updater of this build.
    MirrorChecker(const Options &options, Rsa_key *key, QObject *parent = nullptr);

    void start();

    int fileCount() const { return int(files.size()); }
    int missingCount() const { return missing; }
    int wrongCount() const { return wrong; }

signals:
    void problem(const QString &line);
    void finished(bool complete);

private:
    struct ManifestFile
    {
        QString remotePath;
        QString md5;
        quint64 size = 0;
        /// Raw, from the side file; empty for a release published without one.
        QByteArray sha256;
    };

    // What a full check has seen of one file.
    struct Body
    {
        QCryptographicHash hash {QCryptographicHash::Md5};
        // Its result() starts it again, which a finished body no longer minds.
        mutable Sha256 sha256;
        qint64 received = 0;
        bool tooLong = false;
    };

    QUrl urlOf(const QString &remotePath) const;
    QNetworkReply *fetch(const QString &remotePath, qint64 maxBytes);
    void onManifestFetched();
    void onSideFileFetched(QNetworkReply *reply, const QByteArray &ini,
                           const ReleaseBinding &binding);
    bool readManifest(const QByteArray &ini);
    // Reads the file list of the verified ini and asks the mirror for its files.
    void checkFiles(const QByteArray &ini);
    // True after reporting reply as missing and ending the check.
    bool endIfMissing(QNetworkReply *reply);
    void startNext();
    // body is null for a check by size.
    void checkReply(QNetworkReply *reply, const ManifestFile &file, const Body *body);
    static bool isOk(QNetworkReply *reply);
    // Why reply is no answer with the file, or empty when it is one.
    static QString failureOf(QNetworkReply *reply);
    void end(bool complete);

    Options options;
    Rsa_key *key;
    QNetworkAccessManager *manager;
    QNetworkReply *iniReply = nullptr;
    QNetworkReply *signatureReply = nullptr;
    QNetworkReply *furtherReply = nullptr;
    SideFile sideFile;
    QList<ManifestFile> files;
    int nextFile = 0;
    int running = 0;
    int missing = 0;
    int wrong = 0;
    bool ended = false;
};
