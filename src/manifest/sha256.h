#pragma once

#include "manifest/evpdigest.h"

/// SHA-256 at the speed of the processor's SHA instructions (EvpDigest).
class Sha256 : public EvpDigest
{
public:
    Sha256() : EvpDigest(Sha256Algorithm) { }

    static QByteArray hash(QByteArrayView data) { return EvpDigest::hash(Sha256Algorithm, data); }
};
