#pragma once

#include "manifest/cryptotools.h"
#include "manifest/scopedrsakey.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;
class QTextStream;

/// What the commands of varnolt-release share: the two output streams, the exit codes, and the
/// parsing of a command's own arguments with its --help.
class ToolCommand
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

    static const QString PROGRAM;
    static const char EXIT_CODES[];

protected:
    ToolCommand(QTextStream &out, QTextStream &err);

    /// Parses a command's arguments; false with the exit code in *exitCode when the command
    /// is done (help shown or an error reported).
    bool parse(QCommandLineParser &parser, const QString &command, const QString &usage,
               const QStringList &arguments, int positionalCount, int *exitCode);
    int usageError(const QString &command, const QString &problem);
    /// Loads the key at @p path, or the built-in one when it is empty; false after explaining a
    /// failure on the error stream.
    bool loadPublicKey(ScopedRsaKey &key, const QString &path, const QString &command);

    static QString text(const crypt_exception &e);
    static QString absoluteClean(const QString &path);

    QTextStream &out;
    QTextStream &err;
};
