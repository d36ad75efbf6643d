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
/// the trusted keys), checks its release binding, side file and digests file, then asks the
/// mirror for every file the manifest lists and every block list file the digests file binds,
/// several at a time: a HEAD request whose Content-Length must equal the bound size or, in full
/// mode, a download whose size, MD5 and SHA-256 must be the bound ones. Full mode also fetches
/// the gzip forms of the ini, the digests file and the lists, which must inflate to the plain
/// bytes. Redirects are not followed, as the updater does not follow them either.
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

    /// The files of the product ini, and the metadata files checked beside them.
    int fileCount() const { return int(files.size()) - metadataCount; }
    int metadataFileCount() const { return metadataCount; }
    int missingCount() const { return missing; }
    int wrongCount() const { return wrong; }

signals:
    void problem(const QString &line);
    void finished(bool complete);

private:
    struct ManifestFile
    {
        QString remotePath;
        /// Empty for a metadata file, which the ini does not list.
        QString md5;
        quint64 size = 0;
        /// Raw, from the side file; empty for a release published without one.
        QByteArray sha256;
        /// The file is the gzip form of the plain file that size and sha256 describe.
        bool gzipForm = false;
    };

    // What a full check has seen of one file.
    struct Body
    {
        QCryptographicHash hash {QCryptographicHash::Md5};
        // Its result() starts it again, which a finished body no longer minds.
        mutable Sha256 sha256;
        qint64 received = 0;
        bool tooLong = false;
        // The bytes of a gzip form, which are inflated once they are all in.
        QByteArray packed;
    };

    QUrl urlOf(const QString &remotePath) const;
    QNetworkReply *fetch(const QString &remotePath, qint64 maxBytes);
    void onManifestFetched();
    void onSideFileFetched(QNetworkReply *reply, const QByteArray &ini,
                           const ReleaseBinding &binding);
    void onDigestsFetched(QNetworkReply *reply, const QByteArray &ini,
                          const ReleaseBinding &binding);
    // The gzip form at remotePath + ".gz" of a plain file, for a full check.
    void addGzipForm(const QString &remotePath, const QByteArray &sha256, qint64 size);
    bool readManifest(const QByteArray &ini);
    // Reads the file list of the verified ini and asks the mirror for its files.
    void checkFiles(const QByteArray &ini);
    // True after reporting reply as missing and ending the check.
    bool endIfMissing(QNetworkReply *reply);
    // Counts and reports a fetched metadata file that is wrong, and ends the check; false when
    // @p problemText is empty.
    bool endIfWrong(QNetworkReply *reply, const QString &problemText);
    void startNext();
    // body is null for a check by size.
    void checkReply(QNetworkReply *reply, const ManifestFile &file, const Body *body);
    // Why a full download of file is wrong; empty when it is right.
    static QString wrongBody(const ManifestFile &file, const Body &body);
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
    // The list files and gzip forms, checked after the product ini's files.
    QList<ManifestFile> metadataFiles;
    int metadataCount = 0;
    int nextFile = 0;
    int running = 0;
    int missing = 0;
    int wrong = 0;
    bool ended = false;
};
