#include "manifest/sha256.h"

#include <openssl/evp.h>

#include <new>

struct Sha256::Context
{
    Context() : ctx(EVP_MD_CTX_new())
    {
        if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
            throw std::bad_alloc();
    }
    ~Context() { EVP_MD_CTX_free(ctx); }
    EVP_MD_CTX *ctx;
};

Sha256::Sha256() : context(std::make_unique<Context>()) { }

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::addData(QByteArrayView data)
{
    EVP_DigestUpdate(context->ctx, data.data(), size_t(data.size()));
}

QByteArray Sha256::result()
{
    QByteArray digest(Size, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(context->ctx, reinterpret_cast<unsigned char *>(digest.data()), &length);
    EVP_DigestInit_ex(context->ctx, EVP_sha256(), nullptr);
    return digest;
}

QByteArray Sha256::hash(QByteArrayView data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}
