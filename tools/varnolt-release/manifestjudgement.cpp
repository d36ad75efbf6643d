#include "manifestjudgement.h"

#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

namespace {

// Whether signature verifies data under key; a signature of the wrong length does not.
bool validFor(Rsa_key *key, const QByteArray &data, const QByteArray &signature)
{
    try {
        return verify_msg(key, reinterpret_cast<const unsigned char *>(data.constData()),
                          static_cast<unsigned long>(data.size()),
                          reinterpret_cast<const unsigned char *>(signature.constData()),
                          static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception &) {
        return false;
    }
}

} // namespace

ManifestJudgement ManifestJudgement::judge(const QByteArray &ini, const QByteArray &signature,
                                           const QByteArray &furtherSignatures, Rsa_key *key,
                                           const QDateTime &now)
{
    ManifestJudgement judgement;
    QString keyPrint;
    if (key) {
        try {
            keyPrint = TrustedKeys::fingerprint(key);
        } catch (const crypt_exception &e) {
            judgement.signatureProblem = QString::fromLocal8Bit(e.what());
            return judgement;
        }
        if (validFor(key, ini, signature))
            judgement.signer = keyPrint;
    } else {
        judgement.signer = TrustedKeys::verifier(ini, signature);
    }
    if (judgement.signer.isEmpty() && !furtherSignatures.isEmpty()) {
        SignatureList further;
        QString problem;
        if (!SignatureList::parse(furtherSignatures, &further, &problem))
            judgement.signatureProblem = QStringLiteral("the further signatures: ") + problem;
        for (const SignatureList::Entry &entry : qAsConst(further.entries)) {
            if (key ? entry.fingerprint == keyPrint && validFor(key, ini, entry.signature)
                    : !TrustedKeys::verifier(ini, entry.signature, entry.fingerprint).isEmpty()) {
                judgement.signer = entry.fingerprint;
                break;
            }
        }
    }
    if (judgement.signer.isEmpty() && judgement.signatureProblem.isEmpty())
        judgement.signatureProblem = key ? QStringLiteral("no signature of this key verifies")
                                         : QStringLiteral("no signature of a trusted key verifies");
    if (!ReleaseBinding::parse(ini, &judgement.binding, &judgement.bindingProblem))
        return judgement;
    judgement.expired = judgement.binding.present && judgement.binding.expires.isValid()
        && judgement.binding.expires <= now;
    return judgement;
}

QString ManifestJudgement::bindingLine() const
{
    if (!bindingProblem.isEmpty())
        return QStringLiteral("malformed release binding: ") + bindingProblem;
    if (!binding.present)
        return QStringLiteral("no release binding (published before bindings)");
    QString line = QStringLiteral("release %1 version %2, published %3 UTC")
                       .arg(binding.clientType, binding.version,
                            ReleaseBinding::displayTime(binding.published));
    if (binding.expires.isValid())
        line += QStringLiteral(", %1 %2 UTC")
                    .arg(expired ? QStringLiteral("EXPIRED on") : QStringLiteral("expires"),
                         ReleaseBinding::displayTime(binding.expires));
    return line;
}
