#pragma once

#include "manifest/scopedrsakey.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;
class QTextStream;

/// The varnolt-release command line: key generation, signing, verification and publishing of
/// releases. run() parses one command line and carries it out, writing results to out and
/// problems to err; its return value is the process exit code (ExitCode).
class ReleaseTool
{
public:
    enum ExitCode {
        Ok = 0, ///< done; for verify: the signature is valid
        InvalidSignature = 1, ///< verify: the signature does not verify
        MirrorIncomplete = 1, ///< check-mirror: files are missing or wrong on the mirror
        UsageError = 2, ///< the command line is wrong or contradicts itself
        InputError = 3, ///< a file, directory or key cannot be read or is unusable
        OutputError = 4, ///< an output cannot be written, or exists and --force was not given
        CryptoError = 5 ///< the crypto library failed: no key made, or no signature
    };

    ReleaseTool(QTextStream &out, QTextStream &err);

    /// arguments as QCoreApplication::arguments() gives them (the program first).
    int run(const QStringList &arguments);

private:
    int keygen(const QStringList &arguments);
    int sign(const QStringList &arguments);
    int verify(const QStringList &arguments);
    int release(const QStringList &arguments);
    int checkMirror(const QStringList &arguments);
    int fingerprint(const QStringList &arguments);

    /// Parses a command's arguments; false with the exit code in *exitCode when the command
    /// is done (help shown or an error reported).
    bool parse(QCommandLineParser &parser, const QString &command, const QString &usage,
               const QStringList &arguments, int positionalCount, int *exitCode);
    int usageError(const QString &command, const QString &problem);
    /// Loads the public key at @p path, or the built-in one when it is empty;
    /// false after explaining a failure on the error stream.
    bool loadPublicKey(ScopedRsaKey &key, const QString &path, const QString &command);
    QString generalHelp() const;

    QTextStream &out;
    QTextStream &err;
};
