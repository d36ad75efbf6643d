#include "releasetool.h"

#include "mirrorchecker.h"
#include "releasebuilder.h"
#include "releaseoptions.h"
#include "signaturefile.h"

#include "manifest/sha256.h"
#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

#include "manifest/cryptotools.h"
#include "manifest/scopedrsakey.h"
#include "manifestjudgement.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {

const QString PROGRAM = QStringLiteral("varnolt-release");

const char EXIT_CODES[] = "Exit codes:\n"
                          "  0  success; for verify: the signature is valid\n"
                          "  1  verify: the signature is not valid for the file, the release\n"
                          "     has expired or its side file does not match;\n"
                          "     check-mirror: the mirror lacks files or holds wrong ones\n"
                          "  2  the command line is wrong\n"
                          "  3  an input file, directory or key cannot be read or is unusable\n"
                          "  4  an output cannot be written, or exists already (see --force)\n"
                          "  5  the crypto library failed to make a key or a signature\n";

QString text(const crypt_exception &e)
{
    return QString::fromLocal8Bit(e.what());
}

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

ReleaseTool::ReleaseTool(QTextStream &out, QTextStream &err) : out(out), err(err) { }

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

    if (command == QLatin1String("keygen"))
        return keygen(rest);
    if (command == QLatin1String("sign"))
        return sign(rest);
    if (command == QLatin1String("verify"))
        return verify(rest);
    if (command == QLatin1String("release"))
        return release(rest);
    if (command == QLatin1String("check-mirror"))
        return checkMirror(rest);
    if (command == QLatin1String("fingerprint"))
        return fingerprint(rest);

    err << PROGRAM << ": unknown command \"" << command << "\"\n"
        << "Run \"" << PROGRAM << " --help\" for the commands.\n";
    return UsageError;
}

int ReleaseTool::keygen(const QStringList &arguments)
{
    const QString command = QStringLiteral("keygen");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("PUBLIC"),
                                 QStringLiteral("Public key file to write."));
    parser.addPositionalArgument(QStringLiteral("PRIVATE"),
                                 QStringLiteral("Private key file to write (owner-only access)."));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Replace key files that exist already."));
    parser.addOption(force);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral("keygen [--force] PUBLIC PRIVATE\n\n"
                              "Creates a new signing key pair (1024-bit RSA) as two 2048-byte "
                              "key files.\nBuild the updater with the public one "
                              "(-DVARNOLT_PUBLIC_KEY_FILE=PUBLIC)\nand sign releases with the "
                              "private one; keep the private one off the repository."),
               arguments, 2, &exitCode))
        return exitCode;

    const QString publicPath = parser.positionalArguments().at(0);
    const QString privatePath = parser.positionalArguments().at(1);
    if (absoluteClean(publicPath) == absoluteClean(privatePath))
        return usageError(command, QStringLiteral("PUBLIC and PRIVATE name the same file"));
    if (!parser.isSet(force)) {
        for (const QString &path : {publicPath, privatePath}) {
            if (QFileInfo::exists(path)) {
                err << PROGRAM << ' ' << command << ": " << path
                    << " already exists; pass --force to replace it\n";
                return OutputError;
            }
        }
    }

    ScopedRsaKey key;
    try {
        create_key(key.get());
    } catch (const crypt_exception &e) {
        err << PROGRAM << ' ' << command << ": cannot create a key: " << text(e) << '\n';
        return CryptoError;
    }

    // Create the private key file readable by its owner only before any key byte is in it;
    // save_key then truncates the file and keeps its mode.
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QFile privateFile(privatePath);
    if (!privateFile.open(QIODevice::WriteOnly, ownerOnly)
        || !privateFile.setPermissions(ownerOnly)) {
        err << PROGRAM << ' ' << command << ": cannot write " << privatePath << ": "
            << privateFile.errorString() << '\n';
        return OutputError;
    }
    privateFile.close();

    try {
        save_key(key.get(), PK_PRIVATE, QFile::encodeName(privatePath).constData());
        save_key(key.get(), PK_PUBLIC, QFile::encodeName(publicPath).constData());
    } catch (const crypt_exception &e) {
        err << PROGRAM << ' ' << command << ": " << text(e) << '\n';
        return OutputError;
    }
    out << "Wrote the public key to " << publicPath << " and the private key to " << privatePath
        << ".\nKeep " << privatePath
        << " secret: whoever holds it can publish releases that the updater accepts.\n";
    return Ok;
}

int ReleaseTool::sign(const QStringList &arguments)
{
    const QString command = QStringLiteral("sign");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("File to sign."));
    const QCommandLineOption keyOption(
        {QStringLiteral("k"), QStringLiteral("key")},
        QStringLiteral("Private key file. Repeatable: the first key's signature goes to SIG, "
                       "the others' to SIG + \"s\"."),
        QStringLiteral("PRIVATE"));
    const QCommandLineOption outputOption(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Signature file to write (default: FILE.sig)."), QStringLiteral("SIG"));
    parser.addOption(keyOption);
    parser.addOption(outputOption);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral("sign --key PRIVATE... [--output SIG] FILE\n\n"
                              "Signs the whole content of FILE (RSASSA-PSS, SHA-1) and writes "
                              "the bare signature\nto FILE.sig, as the updater expects it next "
                              "to a product ini. With several keys, the\nfurther keys' "
                              "signatures go to FILE.sigs, which only updaters trusting several\n"
                              "keys read."),
               arguments, 1, &exitCode))
        return exitCode;
    if (!parser.isSet(keyOption))
        return usageError(command, QStringLiteral("--key PRIVATE is required"));
    if (parser.values(outputOption).size() > 1)
        return usageError(command, QStringLiteral("--output may be given once"));

    const QString filePath = parser.positionalArguments().at(0);
    const QString signaturePath = parser.isSet(outputOption) ? parser.value(outputOption)
                                                             : SignatureFile::pathFor(filePath);
    const QString furtherPath = signaturePath + QLatin1Char('s');

    const QFileInfo fileInfo(filePath);
    if (!fileInfo.isFile() || !fileInfo.isReadable()) {
        err << PROGRAM << ' ' << command << ": cannot read " << filePath << '\n';
        return InputError;
    }
    SignatureList further;
    QByteArray first;
    for (const QString &keyPath : parser.values(keyOption)) {
        ScopedRsaKey key;
        try {
            load_key(key.get(), QFile::encodeName(keyPath).constData());
        } catch (const crypt_exception &e) {
            err << PROGRAM << ' ' << command << ": cannot load the key " << keyPath << ": "
                << text(e) << '\n';
            return InputError;
        }
        if (key.type() != PK_PRIVATE) {
            err << PROGRAM << ' ' << command << ": " << keyPath
                << " is a public key; signing needs the private key\n";
            return InputError;
        }
        try {
            const QByteArray signature = SignatureFile::signatureOf(key.get(), filePath);
            if (first.isEmpty())
                first = signature;
            else
                further.entries.append({TrustedKeys::fingerprint(key.get()), signature});
        } catch (const crypt_exception &e) {
            err << PROGRAM << ' ' << command << ": cannot sign " << filePath << ": " << text(e)
                << '\n';
            return CryptoError;
        }
    }
    try {
        SignatureFile::write(signaturePath, first);
        if (!further.entries.isEmpty()) {
            const QByteArray data = further.serialize();
            write_file(QFile::encodeName(furtherPath).constData(),
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       static_cast<unsigned long>(data.size()));
        } else if (QFileInfo::exists(furtherPath) && !QFile::remove(furtherPath)) {
            // Signatures of the old content would only cost the updaters a check.
            err << PROGRAM << ' ' << command << ": cannot remove " << furtherPath << '\n';
            return OutputError;
        }
    } catch (const crypt_exception &e) {
        err << PROGRAM << ' ' << command << ": " << text(e) << '\n';
        return OutputError;
    }
    out << "Wrote " << signaturePath;
    if (!further.entries.isEmpty())
        out << " and " << furtherPath;
    out << '\n';
    return Ok;
}

int ReleaseTool::fingerprint(const QStringList &arguments)
{
    const QString command = QStringLiteral("fingerprint");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("KEY"), QStringLiteral("Public or private key file."));
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral("fingerprint KEY\n\n"
                              "Prints the fingerprint of a key (the SHA-256 of its public half): "
                              "the name of the key\nin TYPE.ini.sigs, and what "
                              "-DVARNOLT_REVOKED_KEYS takes to revoke it."),
               arguments, 1, &exitCode))
        return exitCode;
    ScopedRsaKey key;
    if (!loadPublicKey(key, parser.positionalArguments().at(0), command))
        return InputError;
    try {
        out << TrustedKeys::fingerprint(key.get()) << '\n';
    } catch (const crypt_exception &e) {
        err << PROGRAM << ' ' << command << ": " << text(e) << '\n';
        return InputError;
    }
    return Ok;
}

int ReleaseTool::verify(const QStringList &arguments)
{
    const QString command = QStringLiteral("verify");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Signed file."));
    const QCommandLineOption keyOption(
        {QStringLiteral("k"), QStringLiteral("key")},
        QStringLiteral("Public (or private) key file (default: the keys this program trusts)."),
        QStringLiteral("PUBLIC"));
    const QCommandLineOption signatureOption({QStringLiteral("s"), QStringLiteral("signature")},
                                             QStringLiteral("Signature file (default: FILE.sig)."),
                                             QStringLiteral("SIG"));
    parser.addOption(keyOption);
    parser.addOption(signatureOption);
    int exitCode = Ok;
    if (!parse(parser, command,
               QStringLiteral("verify [--key PUBLIC] [--signature SIG] FILE\n\n"
                              "Checks FILE against its signature (SIG, then the further "
                              "signatures in SIG + \"s\")\nas the updater does. Without --key "
                              "it uses the keys built into this program, which\nanswers whether "
                              "this build of the updater would accept FILE. For a product ini\n"
                              "it also shows the release binding, and checks its expiry and the "
                              "side file beside it."),
               arguments, 1, &exitCode))
        return exitCode;
    if (parser.values(keyOption).size() > 1 || parser.values(signatureOption).size() > 1)
        return usageError(command, QStringLiteral("--key and --signature may be given once"));

    const QString filePath = parser.positionalArguments().at(0);
    const QString signaturePath = parser.isSet(signatureOption) ? parser.value(signatureOption)
                                                                : SignatureFile::pathFor(filePath);
    const QString keyName = parser.isSet(keyOption) ? parser.value(keyOption)
                                                    : QStringLiteral("the built-in keys");
    ScopedRsaKey key;
    if (parser.isSet(keyOption) && !loadPublicKey(key, parser.value(keyOption), command))
        return InputError;

    QFile file(filePath);
    QFile signatureFile(signaturePath);
    if (!file.open(QIODevice::ReadOnly) || !signatureFile.open(QIODevice::ReadOnly)) {
        err << PROGRAM << ' ' << command << ": cannot read "
            << (file.isOpen() ? signaturePath : filePath) << '\n';
        return InputError;
    }
    QFile furtherFile(signaturePath + QLatin1Char('s'));
    const QByteArray further = furtherFile.open(QIODevice::ReadOnly)
        ? furtherFile.read(SignatureList::MaxFileBytes + 1)
        : QByteArray();
    const ManifestJudgement judgement = ManifestJudgement::judge(
        file.readAll(), signatureFile.readAll(), further,
        parser.isSet(keyOption) ? key.get() : nullptr, QDateTime::currentDateTimeUtc());
    if (judgement.signer.isEmpty()) {
        out << filePath << ": signature NOT valid for " << keyName << " ("
            << judgement.signatureProblem << ")\n";
        return InvalidSignature;
    }
    out << filePath << ": signature valid for " << keyName << " (key " << judgement.signer
        << ")\n";
    out << filePath << ": " << judgement.bindingLine() << '\n';
    if (!judgement.bindingProblem.isEmpty() || judgement.expired)
        return InvalidSignature;
    if (!judgement.binding.present)
        return Ok;
    const QString sidePath = QFileInfo(filePath).dir().filePath(judgement.binding.sideFile);
    QFile side(sidePath);
    const QByteArray sideBytes = side.open(QIODevice::ReadOnly) ? side.readAll() : QByteArray();
    if (!side.isOpen() || sideBytes.size() != judgement.binding.sideFileSize
        || Sha256::hash(sideBytes) != judgement.binding.sideFileSha256) {
        out << filePath << ": side file " << sidePath
            << (side.isOpen() ? " does NOT match the product ini\n" : " is missing\n");
        return InvalidSignature;
    }
    out << filePath << ": side file " << sidePath << " matches\n";
    return Ok;
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

    for (const QString &warning : builder.warnings())
        err << PROGRAM << ' ' << command << ": warning: " << warning << '\n';
    out << "Release " << specification.version << " of " << specification.clientType << ": "
        << builder.fileCount() << " files (" << builder.packedFileCount() << " gzip-compressed), "
        << builder.deleteCount() << " to delete\n"
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
                   "Fetches URL/N/TYPE.ini and its signature and verifies them, then asks the\n"
                   "mirror for every file the product ini lists (HEAD, comparing the size; with\n"
                   "--full a download comparing the MD5). Prints one line per missing or wrong\n"
                   "file and a summary; exit code 0 only when the mirror is complete and correct."),
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
            << method << '\n';
        return Ok;
    }
    out << "Not complete: " << release << ": " << checker.missingCount() << " missing, "
        << checker.wrongCount() << " wrong of " << checker.fileCount()
        << " files listed (checked by " << method << ")\n";
    return MirrorIncomplete;
}

bool ReleaseTool::parse(QCommandLineParser &parser, const QString &command, const QString &usage,
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

bool ReleaseTool::loadPublicKey(ScopedRsaKey &key, const QString &path, const QString &command)
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

int ReleaseTool::usageError(const QString &command, const QString &problem)
{
    err << PROGRAM << ' ' << command << ": " << problem << '\n'
        << "Run \"" << PROGRAM << ' ' << command << " --help\" for usage.\n";
    return UsageError;
}

QString ReleaseTool::generalHelp() const
{
    return QStringLiteral(
               "Usage: %1 COMMAND [options] [arguments]\n\n"
               "Makes signing keys, signs files and publishes signed releases for the Varnolt "
               "updater.\n\n"
               "Commands:\n"
               "  keygen PUBLIC PRIVATE       create a signing key pair\n"
               "  fingerprint KEY             print a key's fingerprint (for VARNOLT_REVOKED_KEYS)\n"
               "  sign FILE --key PRIVATE...  write the signature FILE.sig (and FILE.sigs)\n"
               "  verify FILE [--key PUBLIC]  check FILE as the updater does\n"
               "  release --type TYPE --version N --source DIR --out MIRRORDIR --key PRIVATE...\n"
               "          [--expires-in DAYS] [--section NAME] [--gzip RELPATH]...\n"
               "          [--delete RELPATH]... [--force] [--follow-dir-links]\n"
               "                              write a signed release into a mirror tree\n"
               "  check-mirror URL --type TYPE --version N [--key PUBLIC] [--full]\n"
               "                              check that a mirror holds a release completely\n\n"
               "Run \"%1 COMMAND --help\" for the options of a command.\n\n")
               .arg(PROGRAM)
        + QLatin1String(EXIT_CODES);
}
