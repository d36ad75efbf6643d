#pragma once

#include "manifest/cryptotools.h"

#include <QByteArray>
#include <QString>

/// Detached signatures of whole files, as the updater checks them: the signature of the file
/// at P lies in P + ".sig" and is the bare PSS signature of P's complete content.
class SignatureFile
{
public:
    /// The conventional signature path of filePath.
    static QString pathFor(const QString &filePath);

    /// The signature of filePath's content made with the private key. Throws crypt_exception
    /// when the file cannot be read or the key cannot sign.
    static QByteArray signatureOf(Rsa_key *key, const QString &filePath);

    /// Writes signature to signaturePath (created or truncated). Throws crypt_exception when
    /// the file cannot be written completely.
    static void write(const QString &signaturePath, const QByteArray &signature);

    /// Whether signaturePath holds a valid signature of filePath's content for key. A
    /// signature that does not verify - also one of the wrong length - gives false, with the
    /// library's explanation in *reason when there is one. Throws crypt_exception only when
    /// one of the two files cannot be read.
    static bool verify(Rsa_key *key, const QString &filePath, const QString &signaturePath,
                       QString *reason = nullptr);
};
