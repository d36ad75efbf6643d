#include "manifest/manifestcheck.h"

#include "fileops/sessionfile.h"
#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

#include <QFile>

namespace {

// The ini is capped by its download; these bound what a reused or local file can make us read.
constexpr qint64 MaxIniBytes = 64 * 1024 * 1024;
constexpr qint64 MaxSignatureBytes = 4096;

bool readSmallFile(const QString &path, qint64 limit, QByteArray *data)
{
    QFile file;
    if (!SessionFile::openForReading(file, path) || file.size() > limit)
        return false;
    *data = file.readAll();
    return data->size() == file.size();
}

QString furtherSigner(const QString &iniPath, const QByteArray &ini)
{
    QByteArray listed;
    if (!readSmallFile(SignatureList::pathFor(iniPath), SignatureList::MaxFileBytes, &listed))
        return QString();
    SignatureList list;
    QString problem;
    if (!SignatureList::parse(listed, &list, &problem))
        return QString();
    for (const SignatureList::Entry &entry : qAsConst(list.entries)) {
        const QString signer = TrustedKeys::verifier(ini, entry.signature, entry.fingerprint);
        if (!signer.isEmpty())
            return signer;
    }
    return QString();
}

} // namespace

ManifestVerdict ManifestVerdict::check(const QString &iniPath,
                                       const ManifestExpectation &expectation)
{
    ManifestVerdict verdict;
    QByteArray ini;
    if (!readSmallFile(iniPath, MaxIniBytes, &ini))
        return verdict;
    QByteArray signature;
    if (readSmallFile(iniPath + QLatin1String(".sig"), MaxSignatureBytes, &signature))
        verdict.signer = TrustedKeys::verifier(ini, signature);
    if (verdict.signer.isEmpty() && expectation.tryFurtherSignatures)
        verdict.signer = furtherSigner(iniPath, ini);
    if (verdict.signer.isEmpty())
        return verdict;

    if (!ReleaseBinding::parse(ini, &verdict.binding, &verdict.problem)) {
        verdict.kind = MalformedBinding;
        return verdict;
    }
    if (!verdict.binding.present) {
        verdict.kind = expectation.bindingRequired ? Unbound : Accepted;
        return verdict;
    }
    if (verdict.binding.clientType != expectation.clientType
        || verdict.binding.version.toLongLong() != expectation.version.toLongLong()) {
        verdict.kind = WrongRelease;
        return verdict;
    }
    if (verdict.binding.expires.isValid() && verdict.binding.expires <= expectation.now) {
        verdict.kind = Expired;
        return verdict;
    }
    verdict.kind = Accepted;
    return verdict;
}
