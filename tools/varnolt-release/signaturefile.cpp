#include "signaturefile.h"

#include <QFile>

#include <cstdlib>

namespace {

// read_file hands out a malloc'ed buffer; this gives it back on every path.
struct FileBytes
{
    explicit FileBytes(const QString &path)
    {
        read_file(QFile::encodeName(path).constData(), &data, &length);
    }
    ~FileBytes() { std::free(data); }
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;

    unsigned char *data = nullptr;
    unsigned long length = 0;
};

} // namespace

QString SignatureFile::pathFor(const QString &filePath)
{
    return filePath + QLatin1String(".sig");
}

QByteArray SignatureFile::signatureOf(Rsa_key *key, const QString &filePath)
{
    const FileBytes content(filePath);
    unsigned char signature[KEY_BLOCK_SIZE];
    unsigned long signatureLength = sizeof(signature);
    sign_msg(key, content.data, content.length, signature, &signatureLength);
    return QByteArray(reinterpret_cast<const char *>(signature), int(signatureLength));
}

void SignatureFile::write(const QString &signaturePath, const QByteArray &signature)
{
    write_file(QFile::encodeName(signaturePath).constData(),
               reinterpret_cast<const unsigned char *>(signature.constData()),
               static_cast<unsigned long>(signature.size()));
}

bool SignatureFile::verify(Rsa_key *key, const QString &filePath, const QString &signaturePath,
                           QString *reason)
{
    const FileBytes content(filePath);
    const FileBytes signature(signaturePath);
    try {
        return verify_msg(key, content.data, content.length, signature.data, signature.length);
    } catch (const crypt_exception &e) {
        if (reason)
            *reason = QString::fromLocal8Bit(e.what());
        return false;
    }
}
