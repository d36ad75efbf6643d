#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

class QFile;

// The check of one file on a pool thread: its MD5 digest against an expected
// text, and its SHA-256 as well when one is expected (both from one read of the
// file; the SHA-256 alone when no MD5 text is given), or, when neither is given, its RSA signature in the file next to
// it (path + ".sig") against the built-in public keys.
//
// Works on its own copies of the path and the MD5 text only. It may also be
// run directly on the caller's thread; its messages then go nowhere.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString &filePath, const QString &md5);

    // The file's MD5 digest (raw bytes) as computed while it was written; the MD5 check then
    // compares it instead of reading the file. Empty (the default) reads the file.
    void setKnownDigest(const QByteArray &digest) { knownDigest = digest; }
    // The raw SHA-256 the file must have besides its MD5; empty (the default) checks the MD5
    // alone. knownSha256 is what the writer computed, as knownDigest.
    void setExpectedSha256(const QByteArray &sha256) { expectedSha256 = sha256; }
    void setKnownSha256(const QByteArray &sha256) { knownSha256 = sha256; }

    // True when the file passes. Failures are explained through message().
    bool run() override;

    // Reads the whole file into data. Used for the signed file and its
    // signature, which are small; product files are digested as a stream.
    bool readFile(const QString &path, QByteArray &data);
    bool checkMD5();
    bool checkRSA();

    // The MD5 digest (raw bytes) of what the file, open for reading, holds from its position
    // on; empty when it could not be read to its end as fstat() announced.
    static QByteArray md5Of(QFile &file);
    // Both digests of the rest of the file in one read: raw MD5 into md5 and, when sha256 is
    // not null, raw SHA-256 into it. False when the file could not be read to its end.
    static bool digestsOf(QFile &file, QByteArray *md5, QByteArray *sha256);

private:
    QString filePath;
    QString md5;
    QByteArray knownDigest;
    QByteArray expectedSha256;
    QByteArray knownSha256;
};
