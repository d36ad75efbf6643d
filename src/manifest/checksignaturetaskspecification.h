#pragma once

#include "tasks/asynctaskspecification.h"

#include <QString>

// Checks one file on a pool thread before it is trusted: against an MD5 text,
// or, when the MD5 text is empty, against its ".sig" signature file with the
// built-in public key.
//
// The verdict travels in checkDone. A failed check ends the task by error
// cancellation when it is fatal, else by finishing (the caller then decides
// from checkDone). Can be reset and run again; every run checks anew.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(const QString &filePath, const QString &md5, bool fatal,
                                    QObject *parent, double parentProgressRange);

    QString getFilePath() const { return filePath; }

    /**
     * The file's MD5 digest (raw bytes) as computed by whoever wrote it, for the following runs:
     * the MD5 check compares it instead of reading the file. Empty (the default) reads the file.
     */
    void setKnownDigest(const QByteArray &digest) { knownDigest = digest; }
    /// The raw SHA-256 the file must also have (empty: the MD5 alone), and the writer's own
    /// computation of it, as setKnownDigest().
    void setExpectedSha256(const QByteArray &sha256) { expectedSha256 = sha256; }
    void setKnownSha256(const QByteArray &sha256) { knownSha256 = sha256; }

signals:
    // Emitted exactly once per run whose result arrives while the task is
    // Running, just before the task ends; never after a cancel or reset.
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool ok) override;

private:
    QString filePath;
    QString md5;
    bool fatal;
    QByteArray knownDigest;
    QByteArray expectedSha256;
    QByteArray knownSha256;
};
