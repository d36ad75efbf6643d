#include "manifest/evpdigest.h"

#include <openssl/evp.h>

#include <new>

struct EvpDigest::Context
{
    explicit Context(Algorithm algorithm)
        : type(algorithm == Md5Algorithm        ? EVP_md5()
                 : algorithm == Sha1Algorithm ? EVP_sha1()
                                              : EVP_sha256()),
      ctx(EVP_MD_CTX_new())
    {
        if (!ctx || EVP_DigestInit_ex(ctx, type, nullptr) != 1)
            throw std::bad_alloc();
    }
    ~Context() { EVP_MD_CTX_free(ctx); }
    const EVP_MD *type;
    EVP_MD_CTX *ctx;
};

EvpDigest::EvpDigest(Algorithm algorithm) : context(std::make_unique<Context>(algorithm)) { }

EvpDigest::~EvpDigest() = default;
EvpDigest::EvpDigest(EvpDigest &&) noexcept = default;
EvpDigest &EvpDigest::operator=(EvpDigest &&) noexcept = default;

void EvpDigest::addData(QByteArrayView data)
{
    EVP_DigestUpdate(context->ctx, data.data(), size_t(data.size()));
}

QByteArray EvpDigest::result()
{
    QByteArray digest(EVP_MD_get_size(context->type), Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(context->ctx, reinterpret_cast<unsigned char *>(digest.data()), &length);
    EVP_DigestInit_ex(context->ctx, context->type, nullptr);
    return digest;
}

QByteArray EvpDigest::hash(Algorithm algorithm, QByteArrayView data)
{
    EvpDigest digest(algorithm);
    digest.addData(data);
    return digest.result();
}
