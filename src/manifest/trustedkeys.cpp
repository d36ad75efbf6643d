#include "manifest/trustedkeys.h"

#include "manifest/scopedrsakey.h"

#include <QCryptographicHash>

QString TrustedKeys::fingerprint(Rsa_key *key)
{
    unsigned char der[KEY_BLOCK_SIZE];
    unsigned long length = sizeof(der);
    check_err("rsa_export", rsa_export(der, &length, PK_PUBLIC, key));
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(der, qsizetype(length)), QCryptographicHash::Sha256)
            .toHex());
}

QString TrustedKeys::fingerprintOfBlock(const unsigned char *block, unsigned long length)
{
    try {
        ScopedRsaKey key;
        load_key(key.get(), block, length);
        return fingerprint(key.get());
    } catch (const crypt_exception &) {
        return QString();
    }
}

bool TrustedKeys::isRevoked(const QString &fingerprint)
{
    for (int i = 0; i < REVOKED_KEY_COUNT; ++i) {
        if (fingerprint.compare(QLatin1String(REVOKED_KEYS[i]), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList TrustedKeys::trusted()
{
    QStringList fingerprints;
    for (int i = 0; i < PUBLIC_KEY_COUNT; ++i) {
        const QString print = fingerprintOfBlock(PUBLIC_KEYS[i], KEY_BLOCK_SIZE);
        if (!print.isEmpty() && !isRevoked(print) && !fingerprints.contains(print))
            fingerprints.append(print);
    }
    return fingerprints;
}

QString TrustedKeys::verifier(const QByteArray &data, const QByteArray &signature,
                              const QString &onlyFingerprint)
{
    for (int i = 0; i < PUBLIC_KEY_COUNT; ++i) {
        try {
            // Imported anew for every check: nothing of a key is shared between pool threads.
            ScopedRsaKey key;
            load_key(key.get(), PUBLIC_KEYS[i], KEY_BLOCK_SIZE);
            const QString print = fingerprint(key.get());
            if (isRevoked(print))
                continue;
            if (!onlyFingerprint.isEmpty()
                && print.compare(onlyFingerprint, Qt::CaseInsensitive) != 0)
                continue;
            if (verify_msg(key.get(), reinterpret_cast<const unsigned char *>(data.constData()),
                           static_cast<unsigned long>(data.size()),
                           reinterpret_cast<const unsigned char *>(signature.constData()),
                           static_cast<unsigned long>(signature.size())))
                return print;
        } catch (const crypt_exception &) {
            // A signature of another key's length, or a broken key block: not valid under it.
        }
    }
    return QString();
}
