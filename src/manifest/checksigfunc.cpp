#include "manifest/checksigfunc.h"

#include "fileops/sessionfile.h"
#include "manifest/sha256.h"
#include "manifest/trustedkeys.h"

#include <QFile>

#include <optional>

namespace {

// Product files can be larger than what a 32-bit client build can hold in
// memory; they are digested block by block instead.
constexpr qint64 DigestBlockSize = 64 * 1024;

} // namespace

CheckSigFunc::CheckSigFunc(const QString &filePath, const QString &md5)
    : filePath(filePath), md5(md5)
{
}

bool CheckSigFunc::run()
{
    return md5.isEmpty() && expectedSha256.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &data)
{
    QFile file;
    // Never through a link: what is checked must be the file that is installed after it.
    if (!SessionFile::openForReading(file, path)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    const qint64 read = file.read(data.data(), size);
    if (read != size) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::checkMD5()
{
    const bool wantSha256 = !expectedSha256.isEmpty();
    QByteArray digest = knownDigest;
    QByteArray sha256 = knownSha256;
    if (digest.isEmpty() || (wantSha256 && sha256.isEmpty())) {
        QFile file;
        if (!SessionFile::openForReading(file, filePath)) {
            emit message(tr("Could not open file %1 for reading").arg(filePath));
            return false;
        }
        if (!digestsOf(file, &digest, wantSha256 ? &sha256 : nullptr)) {
            emit message(tr("could not read file %1 correctly").arg(filePath));
            return false;
        }
    }
    if (!md5.isEmpty() && md5.compare(QString::fromLatin1(digest.toHex()), Qt::CaseInsensitive) != 0)
        return false;
    if (wantSha256 && sha256 != expectedSha256) {
        if (md5.isEmpty())
            return false;
        // Only a made collision gets here: the file was built to pass the weak digest.
        emit message(tr("SHA-256 of %1 does not match although its MD5 does").arg(filePath));
        return false;
    }
    return true;
}

QByteArray CheckSigFunc::md5Of(QFile &file)
{
    QByteArray md5;
    return digestsOf(file, &md5, nullptr) ? md5 : QByteArray();
}

bool CheckSigFunc::digestsOf(QFile &file, QByteArray *md5, QByteArray *sha256)
{
    const qint64 size = file.size() - file.pos();
    EvpDigest hash(EvpDigest::Md5Algorithm);
    std::optional<Sha256> strong;
    if (sha256)
        strong.emplace();
    QByteArray block(DigestBlockSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        const QByteArrayView bytes(block.constData(), read);
        hash.addData(bytes);
        if (strong)
            strong->addData(bytes);
        total += read;
    }
    if (total != size)
        return false;
    *md5 = hash.result();
    if (strong)
        *sha256 = strong->result();
    return true;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(filePath, data))
        return false;
    QByteArray signature;
    if (!readFile(filePath + QLatin1String(".sig"), signature))
        return false;
    // Any trusted key will do: during a key change releases carry the new key's signature here
    // before every updater trusts it.
    return !TrustedKeys::verifier(data, signature).isEmpty();
}
