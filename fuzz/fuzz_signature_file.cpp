// The further signatures of a product ini (TYPE.ini.sigs), fetched from a mirror and not
// trusted, and the check of a signature against the built-in keys.
//
// An input is read as the list, and is also taken whole as a signature of a fixed text: a
// signature of any length and content must come out as valid under a trusted key or as not
// valid, never as an exception or a crash. Every signature of an accepted list is checked the
// way the updater checks it, under the key the list names. What the release tool writes from
// an accepted list must read back the same.

#include "fuzzsupport.h"
#include "manifest/cryptotools.h"
#include "manifest/signaturelist.h"
#include "manifest/trustedkeys.h"

#include <QStringList>

#include <exception>

namespace {

// A product ini the development key signed: corpus/fuzz_signature_file/valid-signature is its
// signature, so that the fuzzer starts from a signature that verifies.
const QByteArray SignedText = QByteArrayLiteral("[client]\nbin/client=0123::4\n");

QStringList *trusted = nullptr;

void checkSignature(const QByteArray &signature, const QString &onlyFingerprint = QString())
{
    QString verifier;
    try {
        verifier = TrustedKeys::verifier(SignedText, signature, onlyFingerprint);
    } catch (const std::exception &error) {
        Fuzz::fail("a signature check throws nothing", QString::fromUtf8(error.what()));
    } catch (...) {
        Fuzz::fail("a signature check throws nothing");
    }
    if (!verifier.isEmpty()
        && (!trusted->contains(verifier)
            || (!onlyFingerprint.isEmpty()
                && verifier.compare(onlyFingerprint, Qt::CaseInsensitive) != 0)))
        Fuzz::fail("a signature is valid only under a trusted key asked for", verifier);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    crypt_init();
    trusted = new QStringList(TrustedKeys::trusted());
    if (trusted->isEmpty())
        Fuzz::fail("the build trusts a key");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    checkSignature(input);

    SignatureList list;
    QString problem;
    if (!SignatureList::parse(input, &list, &problem)) {
        if (problem.isEmpty())
            Fuzz::fail("a refused signature list says why");
        return 0;
    }
    if (list.entries.size() > SignatureList::MaxEntries)
        Fuzz::fail("an accepted list holds at most MaxEntries signatures");
    for (const SignatureList::Entry &entry : qAsConst(list.entries))
        checkSignature(entry.signature, entry.fingerprint);

    const QByteArray written = list.serialize();
    SignatureList again;
    if (!SignatureList::parse(written, &again, &problem))
        Fuzz::fail("a written signature list reads back", problem);
    bool same = again.entries.size() == list.entries.size();
    for (qsizetype i = 0; same && i < list.entries.size(); ++i)
        same = again.entries.at(i).fingerprint == list.entries.at(i).fingerprint
            && again.entries.at(i).signature == list.entries.at(i).signature;
    if (!same)
        Fuzz::fail("a written signature list reads back the same", QString::fromLatin1(written));
    return 0;
}
