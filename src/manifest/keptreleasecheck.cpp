#include "manifest/keptreleasecheck.h"

#include "manifest/evpdigest.h"
#include "manifest/keptrelease.h"
#include "manifest/manifestcheck.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <sys/stat.h>

KeptReleaseCheck KeptReleaseCheck::examine(const QString &keptPath, const QString &workDir,
                                           const Expectation &expectation)
{
    KeptReleaseCheck result;
    struct stat info;
    if (::lstat(QFile::encodeName(keptPath).constData(), &info) != 0 && errno == ENOENT)
        return result;
    result.outcome = Refused;
    if (!KeptRelease::restore(keptPath, workDir, &result.names, &result.problem))
        return result;
    const QString ini = iniName(expectation.clientType);
    if (!result.names.contains(ini)) {
        result.problem = QStringLiteral("it holds no %1").arg(ini);
        return result;
    }
    if (expectation.installedVersion <= 0) {
        result.problem = QStringLiteral("no version is recorded as installed");
        return result;
    }

    ManifestExpectation manifest;
    manifest.clientType = expectation.clientType;
    manifest.version = QString::number(expectation.installedVersion);
    manifest.bindingRequired = expectation.bindingRequired;
    manifest.now = expectation.now;
    manifest.tryFurtherSignatures = true;
    const ManifestVerdict verdict
        = ManifestVerdict::check(workDir + QLatin1Char('/') + ini, manifest);
    result.binding = verdict.binding;
    const bool current = expectation.installedVersion == expectation.targetVersion;
    switch (verdict.kind) {
    case ManifestVerdict::Accepted:
        break;
    case ManifestVerdict::Expired:
        // What the installed release brought stays true after it expired; only installing
        // it again needs a release that is still valid.
        if (!current)
            break;
        result.problem = QStringLiteral("it expired on %1 (UTC)")
                             .arg(ReleaseBinding::displayTime(verdict.binding.expires));
        return result;
    case ManifestVerdict::NotVerified:
        result.problem = QStringLiteral("no trusted key's signature verifies it");
        return result;
    case ManifestVerdict::WrongRelease:
        result.problem
            = QStringLiteral("it is for %1 version %2, not the installed %3 version %4")
                  .arg(verdict.binding.clientType, verdict.binding.version, expectation.clientType)
                  .arg(expectation.installedVersion);
        return result;
    case ManifestVerdict::Unbound:
        result.problem = QStringLiteral("it carries no version binding");
        return result;
    case ManifestVerdict::MalformedBinding:
        result.problem
            = QStringLiteral("its version binding is malformed: %1").arg(verdict.problem);
        return result;
    }

    if (verdict.binding.present) {
        const QString digests = verdict.binding.digestsSource();
        const QString path = workDir + QLatin1Char('/') + digests;
        // The SHA-256 alone: the MD5 a download's check adds would double the cost.
        QFile file(path);
        if (!result.names.contains(digests)
            || QFileInfo(path).size() != verdict.binding.digestsSourceSize()
            || !file.open(QIODevice::ReadOnly)
            || EvpDigest::hash(EvpDigest::Sha256Algorithm, file.readAll())
                != verdict.binding.digestsSourceSha256()) {
            result.problem
                = QStringLiteral("its %1 does not match the SHA-256 its product ini gives")
                      .arg(digests);
            return result;
        }
    }
    result.outcome = current ? Current : Installed;
    return result;
}
