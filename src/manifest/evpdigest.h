#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

/// A digest through OpenSSL's libcrypto, which has assembly for MD5 and uses the processor's SHA
/// instructions for SHA-256 where there are some: about fifteen times the speed of a portable
/// SHA-256 and a good tenth faster than Qt's MD5, so that checking every downloaded byte against
/// both digests costs little more than checking its MD5 used to.
class EvpDigest
{
public:
    enum Algorithm { Md5Algorithm, Sha256Algorithm, Sha1Algorithm };

    explicit EvpDigest(Algorithm algorithm);
    ~EvpDigest();
    EvpDigest(EvpDigest &&) noexcept;
    EvpDigest &operator=(EvpDigest &&) noexcept;

    void addData(QByteArrayView data);
    /// The raw digest of everything added; the object starts again empty.
    QByteArray result();

    static QByteArray hash(Algorithm algorithm, QByteArrayView data);

private:
    struct Context;
    std::unique_ptr<Context> context;
};
