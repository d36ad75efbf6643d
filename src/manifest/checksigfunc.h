#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

class QFile;

// The check of one file on a pool thread: its MD5 digest against an expected
// text, or, when no MD5 text is given, its RSA signature in the file next to
// it (path + ".sig") against the built-in public key.
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

private:
    QString filePath;
    QString md5;
    QByteArray knownDigest;
};
