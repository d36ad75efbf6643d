#pragma once

#include "manifest/releasebinding.h"

#include <QDateTime>
#include <QString>

/// What a run expects of its product ini beyond a valid signature.
struct ManifestExpectation
{
    QString clientType;
    QString version;
    /// This installation has installed a bound release: an unbound ini is refused.
    bool bindingRequired = false;
    QDateTime now;
    /// Whether the further signatures (SignatureList beside the ini) are tried when the first
    /// one does not verify.
    bool tryFurtherSignatures = false;
};

/// The verdict on one product ini: is it signed by a trusted key, and is it the release the run
/// asked for, still valid?
struct ManifestVerdict
{
    enum Kind {
        Accepted,
        NotVerified, ///< no trusted key's signature verifies (or the files cannot be read)
        WrongRelease, ///< bound to another client type or version
        Expired,
        Unbound, ///< no binding, after a bound release was installed
        MalformedBinding
    };
    Kind kind = NotVerified;
    ReleaseBinding binding;
    /// Fingerprint of the key whose signature verified.
    QString signer;
    /// For MalformedBinding: what is wrong.
    QString problem;

    /**
     * Checks the ini at @p iniPath against its signature (iniPath + ".sig", then, when allowed,
     * those of SignatureList::pathFor(iniPath)) with the trusted keys, and its binding against
     * @p expectation. Reads the files without following links. Any thread.
     */
    static ManifestVerdict check(const QString &iniPath, const ManifestExpectation &expectation);
};
