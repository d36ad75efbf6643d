#include "toolcommand.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

const QString ToolCommand::PROGRAM = QStringLiteral("varnolt-release");

const char ToolCommand::EXIT_CODES[]
    = "Exit codes:\n"
      "  0  success; for verify: the signature is valid\n"
      "  1  verify: the signature is not valid for the file, the release\n"
      "     has expired or a file beside it (side file, digests, block\n"
      "     lists) does not match;\n"
      "     check-mirror: the mirror lacks files or holds wrong ones\n"
      "  2  the command line is wrong\n"
      "  3  an input file, directory or key cannot be read or is unusable\n"
      "  4  an output cannot be written, or exists already (see --force)\n"
      "  5  the crypto library failed to make a key or a signature\n";

ToolCommand::ToolCommand(QTextStream &out, QTextStream &err) : out(out), err(err) { }

QString ToolCommand::text(const crypt_exception &e)
{
    return QString::fromLocal8Bit(e.what());
}

QString ToolCommand::absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool ToolCommand::parse(QCommandLineParser &parser, const QString &command, const QString &usage,
                        const QStringList &arguments, int positionalCount, int *exitCode)
{
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help."));
    parser.addOption(helpOption);
    if (!parser.parse(QStringList(PROGRAM) + arguments)) {
        *exitCode = usageError(command, parser.errorText());
        return false;
    }
    if (parser.isSet(helpOption)) {
        // Qt's own usage line knows nothing of commands; keep only its option list.
        const QString qtHelp = parser.helpText();
        const int options = qtHelp.indexOf(QLatin1String("Options:"));
        out << "Usage: " << PROGRAM << ' ' << usage << "\n\n"
            << (options >= 0 ? qtHelp.mid(options) : qtHelp) << '\n'
            << EXIT_CODES;
        *exitCode = Ok;
        return false;
    }
    const int count = parser.positionalArguments().size();
    if (count != positionalCount) {
        *exitCode = usageError(command,
                               count < positionalCount
                                   ? QStringLiteral("missing arguments")
                                   : QStringLiteral("unexpected argument \"%1\"")
                                         .arg(parser.positionalArguments().at(positionalCount)));
        return false;
    }
    return true;
}

bool ToolCommand::loadPublicKey(ScopedRsaKey &key, const QString &path, const QString &command)
{
    try {
        if (path.isEmpty())
            load_key(key.get(), PUBLIC_KEY, KEY_BLOCK_SIZE);
        else
            load_key(key.get(), QFile::encodeName(path).constData());
        return true;
    } catch (const crypt_exception &e) {
        err << PROGRAM << ' ' << command << ": cannot load the key "
            << (path.isEmpty() ? QStringLiteral("the built-in key") : path) << ": " << text(e)
            << '\n';
        return false;
    }
}

int ToolCommand::usageError(const QString &command, const QString &problem)
{
    err << PROGRAM << ' ' << command << ": " << problem << '\n'
        << "Run \"" << PROGRAM << ' ' << command << " --help\" for usage.\n";
    return UsageError;
}
