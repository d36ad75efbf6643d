#include "keycommands.h"

#include "gzipbytes.h"
#include "manifestjudgement.h"
#include "publishedmetadata.h"
#include "signaturefile.h"

#include "manifest/scopedrsakey.h"
#include "manifest/sha256.h"
#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

int KeyCommands::keygen(const QStringList &arguments)
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

int KeyCommands::sign(const QStringList &arguments)
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
    // A compressed form beside the file is what updaters ask for first: left as it was, it would
    // inflate to the old bytes, which the new signature refuses, and every mirror would be
    // charged for it.
    const QString packedPath = filePath + QLatin1String(".gz");
    const bool packed = QFileInfo::exists(packedPath);
    if (packed) {
        QFile in(filePath);
        QFile outFile(packedPath);
        const QByteArray compressed
            = in.open(QIODevice::ReadOnly) ? GzipBytes::compress(in.readAll()) : QByteArray();
        if (compressed.isEmpty() || !outFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || outFile.write(compressed) != compressed.size() || !outFile.flush()) {
            err << PROGRAM << ' ' << command << ": cannot write " << packedPath << '\n';
            return OutputError;
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
    if (packed)
        out << ", and " << packedPath << " anew";
    out << '\n';
    return Ok;
}

int KeyCommands::fingerprint(const QStringList &arguments)
{
    const QString command = QStringLiteral("fingerprint");
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("KEY"),
                                 QStringLiteral("Public or private key file."));
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

int KeyCommands::verify(const QStringList &arguments)
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
                              "side file,\ndigests file and block list files beside it, and "
                              "their gzip forms."),
               arguments, 1, &exitCode))
        return exitCode;
    if (parser.values(keyOption).size() > 1 || parser.values(signatureOption).size() > 1)
        return usageError(command, QStringLiteral("--key and --signature may be given once"));

    const QString filePath = parser.positionalArguments().at(0);
    const QString signaturePath = parser.isSet(signatureOption) ? parser.value(signatureOption)
                                                                : SignatureFile::pathFor(filePath);
    const QString keyName
        = parser.isSet(keyOption) ? parser.value(keyOption) : QStringLiteral("the built-in keys");
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
    const QByteArray iniBytes = file.readAll();
    const ManifestJudgement judgement = ManifestJudgement::judge(
        iniBytes, signatureFile.readAll(), further, parser.isSet(keyOption) ? key.get() : nullptr,
        QDateTime::currentDateTimeUtc());
    if (judgement.signer.isEmpty()) {
        out << filePath << ": signature NOT valid for " << keyName << " ("
            << judgement.signatureProblem << ")\n";
        return InvalidSignature;
    }
    out << filePath << ": signature valid for " << keyName << " (key " << judgement.signer << ")\n";
    out << filePath << ": " << judgement.bindingLine() << '\n';
    if (!judgement.bindingProblem.isEmpty() || judgement.expired)
        return InvalidSignature;
    if (!judgement.binding.present)
        return Ok;
    QStringList lines;
    const bool matches
        = PublishedMetadata::checkBeside(filePath, iniBytes, judgement.binding, &lines);
    for (const QString &line : qAsConst(lines))
        out << filePath << ": " << line << '\n';
    if (!matches)
        return InvalidSignature;
    return Ok;
}
