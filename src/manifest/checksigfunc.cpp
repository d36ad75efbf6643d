#include "manifest/checksigfunc.h"

#include "fileops/sessionfile.h"
#include "manifest/cryptotools.h"
#include "manifest/scopedrsakey.h"

#include <QCryptographicHash>
#include <QFile>

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
    return md5.isEmpty() ? checkRSA() : checkMD5();
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
    if (!knownDigest.isEmpty())
        return md5.compare(QString::fromLatin1(knownDigest.toHex()), Qt::CaseInsensitive) == 0;
    QFile file;
    if (!SessionFile::openForReading(file, filePath)) {
        emit message(tr("Could not open file %1 for reading").arg(filePath));
        return false;
    }
    const QByteArray digest = md5Of(file);
    if (digest.isEmpty()) {
        emit message(tr("could not read file %1 correctly").arg(filePath));
        return false;
    }
    return md5.compare(QString::fromLatin1(digest.toHex()), Qt::CaseInsensitive) == 0;
}

QByteArray CheckSigFunc::md5Of(QFile &file)
{
    const qint64 size = file.size() - file.pos();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray block(DigestBlockSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = file.read(block.data(), block.size());
        if (read < 0)
            return {};
        if (read == 0)
            break;
        hash.addData(QByteArrayView(block.constData(), read));
        total += read;
    }
    if (total != size)
        return {};
    return hash.result();
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(filePath, data))
        return false;
    QByteArray signature;
    if (!readFile(filePath + QLatin1String(".sig"), signature))
        return false;
    try {
        // Imported anew for every check: nothing of the key is shared
        // between the pool threads.
        ScopedRsaKey key;
        load_key(key.get(), PUBLIC_KEY, KEY_BLOCK_SIZE);
        return verify_msg(key.get(), reinterpret_cast<const unsigned char *>(data.constData()),
                          static_cast<unsigned long>(data.size()),
                          reinterpret_cast<const unsigned char *>(signature.constData()),
                          static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception &) {
        // A signature of the wrong length or a broken key block is simply
        // not a valid signature.
        return false;
    }
}
