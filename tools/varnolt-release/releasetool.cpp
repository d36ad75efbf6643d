#include "releasetool.h"

#include "costcommand.h"
#include "keycommands.h"
#include "mirrorchecker.h"
#include "releasebuilder.h"
#include "releaseoptions.h"
#include "signaturefile.h"

#include "manifest/signaturelist.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

ReleaseTool::ReleaseTool(QTextStream &out, QTextStream &err) : ToolCommand(out, err) { }

int ReleaseTool::run(const QStringList &arguments)
{
    if (arguments.size() < 2) {
        err << generalHelp();
        return UsageError;
    }
    const QString command = arguments.at(1);
    const QStringList rest = arguments.mid(2);
    if (command == QLatin1String("-h") || command == QLatin1String("--help")
        || command == QLatin1String("help")) {
        out << generalHelp();
        return Ok;
    }

    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        err << PROGRAM << ": cannot initialise the crypto library: " << text(e) << '\n';
        return CryptoError;
    }

    KeyCommands keys(out, err);
    if (command == QLatin1String("keygen"))
        return keys.keygen(rest);
    if (command == QLatin1String("sign"))
        return keys.sign(rest);
    if (command == QLatin1String("verify"))
        return keys.verify(rest);
    if (command == QLatin1String("release"))
        return release(rest);
    if (command == QLatin1String("check-mirror"))
        return checkMirror(rest);
    if (command == QLatin1String("fingerprint"))
        return keys.fingerprint(rest);
    if (command == QLatin1String("cost"))
        return CostCommand(out, err).run(rest);

    err << PROGRAM << ": unknown command \"" << command << "\"\n"
        << "Run \"" << PROGRAM << " --help\" for the commands.\n";
    return UsageError;
}

int ReleaseTool::release(const QStringList &arguments)
{
    const QString command = QStringLiteral("release");
    ReleaseOptions options;
    int exitCode = Ok;
    if (!parse(options.parser(), command, ReleaseOptions::usage(), arguments, 0, &exitCode))
        return exitCode;
    ReleaseSpecification specification;
    QString problem;
    if (!options.toSpecification(&specification, &problem))
        return usageError(command, problem);

    ReleaseBuilder builder(specification);
    switch (builder.build()) {
    case ReleaseBuilder::Success:
        break;
    case ReleaseBuilder::InvalidSpecification:
        return usageError(command, builder.errorString());
    case ReleaseBuilder::InputFailure:
        for (const QString &line : builder.errorString().split(QLatin1Char('\n')))
            err << PROGRAM << ' ' << command << ": " << line << '\n';
        return InputError;
    case ReleaseBuilder::OutputFailure:
        err << PROGRAM << ' ' << command << ": " << builder.errorString() << '\n';
        return OutputError;
    case ReleaseBuilder::SigningFailure:
        err << PROGRAM << ' ' << command << ": " << builder.errorString() << '\n';
        return CryptoError;
    }

    out << "Release " << specification.version << " of " << specification.clientType << ": "
        << builder.fileCount() << " files (" << builder.packedFileCount() << " gzip-compressed), "
        << builder.deleteCount() << " to delete, " << builder.releaseDirectories().empty.size()
        << " empty directories, " << builder.releaseDirectories().dropped.size()
        << " to remove when empty\n"
        << "Wrote " << builder.iniPath() << " and " << SignatureFile::pathFor(builder.iniPath())
        << (specification.privateKeyFiles.size() > 1 ? QLatin1String(" (further signatures in ")
                    + SignatureList::pathFor(builder.iniPath()) + QLatin1Char(')')
                                                     : QString())
        << '\n';
    if (!builder.verifiesWithBuiltInKey()) {
        err << PROGRAM << ' ' << command
            << ": note: the public key built into this program does not verify the release; "
               "only an updater built with the public half of "
            << specification.privateKeyFiles.join(QLatin1String(" or ")) << " accepts it\n";
    }
    return Ok;
}

int ReleaseTool::checkMirror(const QStringList &arguments)
{
    const QString command = QStringLiteral("check-mirror");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("URL"),
                                 QStringLiteral("Base URL of the mirror, as in mirrors.ini."));
    const QCommandLineOption typeOption(QStringLiteral("type"),
                                        QStringLiteral("Client type, e.g. client_linux_amd64."),
                                        QStringLiteral("TYPE"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Version number of the release."),
                                           QStringLiteral("N"));
    const QCommandLineOption keyOption(
        QStringLiteral("key"),
        QStringLiteral("Public key file (default: the keys this program trusts)."),
        QStringLiteral("PUBLIC"));
    const QCommandLineOption fullOption(
        QStringLiteral("full"),
        QStringLiteral("Download every file and compare its MD5, not only its size."));
    for (const QCommandLineOption &option : {typeOption, versionOption, keyOption, fullOption})
        parser.addOption(option);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral(
                   "check-mirror URL --type TYPE --version N [--key PUBLIC] [--full]\n\n"
                   "Fetches URL/N/TYPE.ini and its signature and verifies them, and the side file\n"
                   "and digests file it names, then asks the mirror for every file the product\n"
                   "ini lists and every block list file the digests file binds (HEAD, comparing\n"
                   "the size; with --full a download comparing MD5 and SHA-256, and the gzip\n"
                   "forms of the ini, digests and lists, which must inflate to the plain bytes).\n"
                   "Prints one line per missing or wrong file and a summary; exit code 0 only\n"
                   "when the mirror is complete and correct."),
               arguments, 1, &exitCode))
        return exitCode;
    for (const QCommandLineOption *option : {&typeOption, &versionOption}) {
        if (!parser.isSet(*option))
            return usageError(command,
                              QStringLiteral("--%1 is required").arg(option->names().constFirst()));
    }
    for (const QCommandLineOption *option : {&typeOption, &versionOption, &keyOption}) {
        if (parser.values(*option).size() > 1) {
            return usageError(
                command,
                QStringLiteral("--%1 may be given once").arg(option->names().constFirst()));
        }
    }

    MirrorChecker::Options options;
    options.baseUrl = QUrl(parser.positionalArguments().at(0), QUrl::StrictMode);
    options.clientType = parser.value(typeOption);
    options.version = parser.value(versionOption);
    options.full = parser.isSet(fullOption);
    const QString scheme = options.baseUrl.scheme();
    if (!options.baseUrl.isValid() || options.baseUrl.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return usageError(command, QStringLiteral("URL must be an http or https URL"));
    bool numeric = false;
    options.version.toUInt(&numeric, 10);
    if (!numeric)
        return usageError(command, QStringLiteral("--version must be a decimal number"));
    if (options.clientType.isEmpty() || options.clientType.contains(QLatin1Char('/')))
        return usageError(command, QStringLiteral("--type must be a plain name"));

    ScopedRsaKey key;
    if (parser.isSet(keyOption) && !loadPublicKey(key, parser.value(keyOption), command))
        return InputError;

    // Without --key, the keys this program trusts, as an updater of this build.
    MirrorChecker checker(options, parser.isSet(keyOption) ? key.get() : nullptr);
    QEventLoop loop;
    bool complete = false;
    QObject::connect(&checker, &MirrorChecker::problem, &loop, [this](const QString &line) {
        out << line << '\n';
        out.flush();
    });
    QObject::connect(&checker, &MirrorChecker::finished, &loop, [&](bool result) {
        complete = result;
        loop.quit();
    });
    checker.start();
    loop.exec();

    const QString release = QStringLiteral("version %1 of %2 on %3")
                                .arg(options.version, options.clientType,
                                     options.baseUrl.toString(QUrl::RemoveUserInfo));
    const QString method = options.full ? QStringLiteral("size and MD5") : QStringLiteral("size");
    if (complete) {
        out << "Complete: " << release << ", " << checker.fileCount() << " files checked by "
            << method;
        if (checker.metadataFileCount() > 0)
            out << ", and " << checker.metadataFileCount()
                << (options.full ? " block list files and gzip forms" : " block list files");
        out << '\n';
        return Ok;
    }
    out << "Not complete: " << release << ": " << checker.missingCount() << " missing, "
        << checker.wrongCount() << " wrong of " << checker.fileCount() << " files listed and "
        << checker.metadataFileCount() << " metadata files (checked by " << method << ")\n";
    return MirrorIncomplete;
}

QString ReleaseTool::generalHelp() const
{
    return QStringLiteral(
               "Usage: %1 COMMAND [options] [arguments]\n\n"
               "Makes signing keys, signs files and publishes signed releases for the Varnolt "
               "updater.\n\n"
               "Commands:\n"
               "  keygen PUBLIC PRIVATE       create a signing key pair\n"
               "  fingerprint KEY             print a key's fingerprint (for "
               "VARNOLT_REVOKED_KEYS)\n"
               "  sign FILE --key PRIVATE...  write the signature FILE.sig (and FILE.sigs)\n"
               "  verify FILE [--key PUBLIC]  check FILE as the updater does\n"
               "  release --type TYPE --version N --source DIR --out MIRRORDIR --key PRIVATE...\n"
               "          [--expires-in DAYS] [--section NAME] [--gzip RELPATH]...\n"
               "          [--delete RELPATH]... [--force] [--follow-dir-links]\n"
               "                              write a signed release into a mirror tree\n"
               "  check-mirror URL --type TYPE --version N [--key PUBLIC] [--full]\n"
               "                              check that a mirror holds a release completely\n"
               "  cost --from OLD --to NEW    what an update costs users, with block lists and "
               "without\n\n"
               "Run \"%1 COMMAND --help\" for the options of a command.\n\n")
               .arg(PROGRAM)
        + QLatin1String(EXIT_CODES);
}
