#pragma once

#include "manifest/cryptotools.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// Which signing keys this program trusts, and checks of signatures against them.
///
/// A key is named by its fingerprint: the SHA-256 of its public half as the DER encoding that
/// rsa_export writes, in lower-case hexadecimal. A built-in key whose fingerprint is revoked is
/// not trusted, whatever else the build says. Stateless; safe on any thread once crypt_init()
/// has run.
class TrustedKeys
{
public:
    /// The fingerprint of a loaded key (public or private). Throws crypt_exception when the key
    /// cannot be exported.
    static QString fingerprint(Rsa_key *key);
    /// The fingerprint of a key block; empty when it holds no key.
    static QString fingerprintOfBlock(const unsigned char *block, unsigned long length);

    /// Fingerprints of the built-in keys that are trusted, in build order.
    static QStringList trusted();
    static bool isRevoked(const QString &fingerprint);

    /**
     * The fingerprint of the trusted key under which @p signature is valid for @p data, or an
     * empty text when none is. With @p onlyFingerprint given, only that key is tried. A
     * signature of the wrong length is simply not valid.
     */
    static QString verifier(const QByteArray &data, const QByteArray &signature,
                            const QString &onlyFingerprint = QString());
};
