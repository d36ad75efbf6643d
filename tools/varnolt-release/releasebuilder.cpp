#include "releasebuilder.h"

#include "previousrelease.h"
#include "releasemetadatawriter.h"
#include "signaturefile.h"
#include "sourcetree.h"
#include "storedfilewriter.h"

#include "fileops/stagedfile.h"
#include "manifest/cryptotools.h"
#include "manifest/productiniwriter.h"
#include "manifest/scopedrsakey.h"
#include "manifest/sha256.h"
#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>

namespace {

// "./a" and "a/" name the same file as "a"; anything that stays odd after this is rejected.
QString normalized(const QString &relativePath)
{
    return relativePath.isEmpty() ? relativePath : QDir::cleanPath(relativePath);
}

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

ReleaseBuilder::ReleaseBuilder(const ReleaseSpecification &specification) : spec(specification) { }

ReleaseBuilder::Outcome ReleaseBuilder::build()
{
    Keys keys;
    if (!checkSpecification() || !loadKeys(keys) || !collectFiles()
        || !takePreviousDeletes(*keys.front()) || !checkPaths() || !prepareOutput())
        return outcome;

    ProductIniWriter ini;
    if (!ini.setDirectories(directories)) {
        fail(InvalidSpecification, ini.errorString());
        return outcome;
    }
    const QSet<QString> packed(spec.gzipPaths.cbegin(), spec.gzipPaths.cend());
    for (const QString &file : qAsConst(files)) {
        if (!storeFile(file, packed.contains(file), ini))
            return outcome;
    }
    for (const QString &path : qAsConst(spec.deletePaths)) {
        if (!ini.addDelete(path)) {
            fail(InvalidSpecification, ini.errorString());
            return outcome;
        }
    }
    ReleaseBinding binding;
    binding.present = true;
    binding.clientType = spec.clientType;
    binding.version = spec.version;
    // Whole seconds: the binding keeps no more, and the ini must read back as written.
    binding.published = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    if (spec.expiresInDays >= 0)
        binding.expires = binding.published.addSecs(qint64(spec.expiresInDays * 86400.0 + 0.5));
    ReleaseMetadataWriter metadata(versionDir, spec.clientType);
    if (!metadata.write(sideFile, listLines, &binding)) {
        fail(OutputFailure, metadata.errorString());
        return outcome;
    }
    ini.setBinding(binding);
    if (!ini.write(manifestPath)) {
        fail(OutputFailure, ini.errorString());
        return outcome;
    }
    if (!metadata.writeGzipOf(manifestPath)) {
        fail(OutputFailure, metadata.errorString());
        return outcome;
    }
    if (!syncTree())
        return outcome;
    sign(keys);
    return outcome;
}

QString ReleaseBuilder::errorString() const
{
    return error;
}

QString ReleaseBuilder::iniPath() const
{
    return manifestPath;
}

int ReleaseBuilder::fileCount() const
{
    return files.size();
}

int ReleaseBuilder::packedFileCount() const
{
    return packedCount;
}

int ReleaseBuilder::deleteCount() const
{
    return spec.deletePaths.size();
}

bool ReleaseBuilder::verifiesWithBuiltInKey() const
{
    return builtInKeyVerifies;
}

bool ReleaseBuilder::checkSpecification()
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (spec.clientType.isEmpty() || spec.clientType.contains(QLatin1Char('/'))
        || spec.clientType.contains(QLatin1Char('\\'))
        || spec.clientType.startsWith(QLatin1Char('.'))) {
        return fail(InvalidSpecification,
                    QStringLiteral("invalid client type \"%1\": it names the file TYPE.ini "
                                   "and must not contain a slash or begin with a dot")
                        .arg(spec.clientType));
    }
    if (!digits.match(spec.version).hasMatch()) {
        return fail(InvalidSpecification,
                    QStringLiteral("invalid version \"%1\": a version is a decimal number")
                        .arg(spec.version));
    }
    if (spec.section.isEmpty())
        spec.section = spec.clientType;
    const QString sectionProblem = ProductIniWriter::checkSectionName(spec.section);
    if (!sectionProblem.isEmpty())
        return fail(InvalidSpecification, QStringLiteral("invalid section: ") + sectionProblem);
    if (spec.sourceDir.isEmpty() || spec.mirrorDir.isEmpty() || spec.privateKeyFiles.isEmpty())
        return fail(InvalidSpecification, QStringLiteral("source, mirror and key are required"));

    for (QStringList *paths : {&spec.gzipPaths, &spec.deletePaths}) {
        QStringList cleaned;
        for (const QString &path : qAsConst(*paths)) {
            const QString clean = normalized(path);
            const QString problem = ProductIniWriter::checkRelativePath(clean);
            if (!problem.isEmpty())
                return fail(InvalidSpecification, problem);
            if (!cleaned.contains(clean))
                cleaned.append(clean);
        }
        *paths = cleaned;
    }

    // Publishing into the tree being published would put the release into the next one.
    const QString source = absoluteClean(spec.sourceDir);
    const QString mirror = absoluteClean(spec.mirrorDir);
    if (mirror == source || mirror.startsWith(source + QLatin1Char('/'))) {
        return fail(InvalidSpecification,
                    QStringLiteral("the mirror directory %1 lies inside the source %2")
                        .arg(spec.mirrorDir, spec.sourceDir));
    }
    return true;
}

bool ReleaseBuilder::loadKeys(Keys &keys)
{
    QStringList fingerprints;
    for (const QString &file : qAsConst(spec.privateKeyFiles)) {
        auto key = std::make_unique<ScopedRsaKey>();
        try {
            load_key(key->get(), QFile::encodeName(file).constData());
        } catch (const crypt_exception &e) {
            return fail(InputFailure,
                        QStringLiteral("cannot load the private key %1 (%2)")
                            .arg(file, QString::fromLocal8Bit(e.what())));
        }
        if (key->type() != PK_PRIVATE) {
            return fail(
                InputFailure,
                QStringLiteral("%1 is a public key; signing needs the private key").arg(file));
        }
        QString fingerprint;
        try {
            fingerprint = TrustedKeys::fingerprint(key->get());
        } catch (const crypt_exception &e) {
            return fail(InputFailure,
                        QStringLiteral("cannot use the private key %1 (%2)")
                            .arg(file, QString::fromLocal8Bit(e.what())));
        }
        if (fingerprints.contains(fingerprint))
            return fail(InvalidSpecification,
                        QStringLiteral("the key %1 is given twice").arg(file));
        fingerprints.append(fingerprint);
        keys.push_back(std::move(key));
    }
    return true;
}

bool ReleaseBuilder::collectFiles()
{
    // Leaving an entry out would publish a release that installs without it and still reports
    // success, so every entry is either published or named here.
    SourceTree tree(spec.sourceDir, spec.followDirLinks);
    if (!tree.collect())
        return fail(InputFailure, tree.problems().join(QLatin1Char('\n')));
    files = tree.files();
    directories.empty = tree.emptyDirectories();
    if (files.isEmpty())
        return fail(InputFailure, QStringLiteral("%1 holds no files").arg(spec.sourceDir));
    return true;
}

bool ReleaseBuilder::takePreviousDeletes(ScopedRsaKey &key)
{
    if (spec.previousVersion.isEmpty())
        return true;
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (!digits.match(spec.previousVersion).hasMatch() || spec.previousVersion == spec.version)
        return fail(
            InvalidSpecification,
            QStringLiteral("--previous %1: an earlier version number").arg(spec.previousVersion));
    const QString ini = QDir(QDir(spec.mirrorDir).filePath(spec.previousVersion))
                            .filePath(spec.clientType + QLatin1String(".ini"));
    // What it lists is deleted from users' installations: only a release signed with this key
    // may say that.
    QString reason;
    bool signedByUs = false;
    try {
        signedByUs = SignatureFile::verify(key.get(), ini, SignatureFile::pathFor(ini), &reason);
    } catch (const crypt_exception &e) {
        reason = QString::fromLocal8Bit(e.what());
    }
    PreviousRelease previous;
    if (!signedByUs || !previous.read(ini, &reason))
        return fail(InputFailure,
                    QStringLiteral("--previous %1: %2 is not a release signed with %3 (%4)")
                        .arg(spec.previousVersion, ini, spec.privateKeyFiles.first(), reason));
    QSet<QString> kept(files.cbegin(), files.cend());
    kept.unite(QSet<QString>(directories.empty.cbegin(), directories.empty.cend()));
    const QStringList stale = previous.stalePaths(kept);
    for (const QString &path : stale) {
        if (!spec.deletePaths.contains(path))
            spec.deletePaths.append(path);
    }
    directories.dropped = previous.droppedDirectories(QSet<QString>(files.cbegin(), files.cend()),
                                                      directories.empty);
    return true;
}

bool ReleaseBuilder::checkPaths()
{
    const QSet<QString> present(files.cbegin(), files.cend());
    for (const QString &path : qAsConst(spec.gzipPaths)) {
        if (!present.contains(path)) {
            return fail(InputFailure,
                        QStringLiteral("--gzip %1: no such file in %2").arg(path, spec.sourceDir));
        }
        // Both would be stored under the same name on the mirror.
        if (present.contains(path + QLatin1String(".gz"))) {
            return fail(InvalidSpecification,
                        QStringLiteral("--gzip %1: the source also holds %1.gz").arg(path));
        }
    }
    // The updater deletes after installing: deleting a file of the release, or a directory
    // holding one, would remove what was just installed.
    for (const QString &path : qAsConst(spec.deletePaths)) {
        const QString asDirectory = path + QLatin1Char('/');
        for (const QString &file : files + directories.empty) {
            if (file == path || file.startsWith(asDirectory)) {
                return fail(InvalidSpecification,
                            QStringLiteral("--delete %1 would remove %2, which is part of the "
                                           "release")
                                .arg(path, file));
            }
        }
    }
    return true;
}

bool ReleaseBuilder::prepareOutput()
{
    versionDir = QDir(spec.mirrorDir).filePath(spec.version);
    sectionDir = QDir(versionDir).filePath(spec.section);
    manifestPath = QDir(versionDir).filePath(spec.clientType + QLatin1String(".ini"));
    const QString signaturePath = SignatureFile::pathFor(manifestPath);
    const QString furtherPath = SignatureList::pathFor(manifestPath);

    if (!spec.overwrite) {
        for (const QString &path : {manifestPath, signaturePath, furtherPath, sectionDir}) {
            if (QFileInfo::exists(path)) {
                return fail(OutputFailure,
                            QStringLiteral("%1 already exists; pass --force to "
                                           "replace the release")
                                .arg(path));
            }
        }
    }
    // An old manifest must not outlive the files it describes if this build fails half-way.
    const QStringList metadata = ReleaseMetadataWriter(versionDir, spec.clientType).outputPaths();
    for (const QString &path : QStringList {manifestPath, signaturePath, furtherPath} + metadata) {
        if (QFileInfo::exists(path) && !QFile::remove(path))
            return fail(OutputFailure, QStringLiteral("cannot remove %1").arg(path));
    }
    if (!QDir().mkpath(sectionDir))
        return fail(OutputFailure, QStringLiteral("cannot create %1").arg(sectionDir));
    return true;
}

bool ReleaseBuilder::storeFile(const QString &relativePath, bool packed, ProductIniWriter &ini)
{
    const QString from = QDir(spec.sourceDir).filePath(relativePath);
    const QString key = packed ? relativePath + QLatin1String(".gz") : relativePath;
    const QString to = QDir(sectionDir).filePath(key);
    if (!QDir().mkpath(QFileInfo(to).absolutePath()))
        return fail(OutputFailure, QStringLiteral("cannot create the directory of %1").arg(to));

    const QString path = SideFile::pathOf(spec.section, key);
    const StoredFileWriter::Result stored = packed
        ? StoredFileWriter::gzip(from, to, spec.blockListMinSize, path)
        : StoredFileWriter::copy(from, to, spec.blockListMinSize, path);
    if (stored.status != StoredFileWriter::Stored)
        return fail(stored.status == StoredFileWriter::InputFailed ? InputFailure : OutputFailure,
                    stored.error);
    sideFile.sha256.insert(path, stored.sha256);
    if (!stored.blockLine.isEmpty()) {
        sideFile.blockLines.insert(path, stored.sideBlockLine);
        listLines.insert(path, stored.blockLine);
    }
    const bool added = packed
        ? ini.addPackedFile(spec.section, key, stored.md5, stored.size, stored.unpackedMd5,
                            stored.unpackedSize, relativePath)
        : ini.addFile(spec.section, key, stored.md5, stored.size);
    if (!added)
        return fail(InvalidSpecification, ini.errorString());
    if (packed)
        ++packedCount;
    return true;
}

bool ReleaseBuilder::sign(Keys &keys)
{
    const QString signaturePath = SignatureFile::pathFor(manifestPath);
    SignatureList further;
    try {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            Rsa_key *key = keys[i]->get();
            const QByteArray signature = SignatureFile::signatureOf(key, manifestPath);
            if (i == 0)
                SignatureFile::write(signaturePath, signature);
            else
                further.entries.append({TrustedKeys::fingerprint(key), signature});
        }
    } catch (const crypt_exception &e) {
        return fail(SigningFailure,
                    QStringLiteral("cannot sign %1 (%2)")
                        .arg(manifestPath, QString::fromLocal8Bit(e.what())));
    }
    if (!further.entries.isEmpty()) {
        const QString furtherPath = SignatureList::pathFor(manifestPath);
        const QByteArray data = further.serialize();
        QFile out(furtherPath);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size()
            || !out.flush() || ::fsync(out.handle()) != 0)
            return fail(OutputFailure,
                        QStringLiteral("cannot write %1: %2").arg(furtherPath, out.errorString()));
    }
    // The signatures make the release: on disk, with their names, before the tool says so.
    QFile signatureOut(signaturePath);
    if (!signatureOut.open(QIODevice::ReadOnly) || ::fsync(signatureOut.handle()) != 0
        || !StagedFile::syncDirectory(versionDir))
        return fail(OutputFailure, QStringLiteral("cannot sync %1").arg(signaturePath));

    try {
        QString reason;
        if (!SignatureFile::verify(keys.front()->get(), manifestPath, signaturePath, &reason)) {
            return fail(
                SigningFailure,
                QStringLiteral("the signature just written does not verify (%1)").arg(reason));
        }
    } catch (const crypt_exception &e) {
        return fail(SigningFailure,
                    QStringLiteral("cannot check the signature of %1 (%2)")
                        .arg(manifestPath, QString::fromLocal8Bit(e.what())));
    }
    QFile manifest(manifestPath);
    QFile signatureFile(signaturePath);
    if (!manifest.open(QIODevice::ReadOnly) || !signatureFile.open(QIODevice::ReadOnly))
        return fail(SigningFailure, QStringLiteral("cannot read back %1").arg(manifestPath));
    const QByteArray content = manifest.readAll();
    builtInKeyVerifies = !TrustedKeys::verifier(content, signatureFile.readAll()).isEmpty();
    for (const SignatureList::Entry &entry : qAsConst(further.entries)) {
        if (!TrustedKeys::verifier(content, entry.signature, entry.fingerprint).isEmpty())
            builtInKeyVerifies = true;
    }
    return true;
}

bool ReleaseBuilder::syncTree()
{
    // One sync of the whole file system instead of one per file: a tree of thousands of files
    // then takes what the disk needs to write it, not a flush per file. It must be complete on
    // disk before the signature that vouches for it exists.
    const int fd
        = ::open(QFile::encodeName(versionDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        return fail(OutputFailure, QStringLiteral("cannot sync %1 to disk").arg(versionDir));
    return true;
}

bool ReleaseBuilder::fail(Outcome failure, const QString &text)
{
    outcome = failure;
    error = text;
    return false;
}
