#pragma once

#include "manifest/cryptotools.h"
#include "manifest/releasebinding.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

/// A publisher's view of a product ini as an updater would judge it: which key's signature
/// verifies (the one in TYPE.ini.sig, or one of the further ones in TYPE.ini.sigs), what the
/// release binding says and whether the release has expired.
struct ManifestJudgement
{
    /// Fingerprint of the key whose signature verified; empty when none did.
    QString signer;
    /// Why no signature verified, when none did.
    QString signatureProblem;
    ReleaseBinding binding;
    /// Why the binding cannot be read; empty when it can (or there is none).
    QString bindingProblem;
    bool expired = false;

    /**
     * Judges @p ini with its first @p signature and the further signatures @p furtherSignatures
     * (the bytes of TYPE.ini.sigs; empty when there are none). With @p key, only that key's
     * signatures count; without (null), those of the keys this program trusts, as an updater of
     * this build does. Throws nothing.
     */
    static ManifestJudgement judge(const QByteArray &ini, const QByteArray &signature,
                                   const QByteArray &furtherSignatures, Rsa_key *key,
                                   const QDateTime &now);

    /// One line on the binding: "release TYPE version N, published ..., expires ...".
    QString bindingLine() const;
};
