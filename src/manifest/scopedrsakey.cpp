#include "manifest/scopedrsakey.h"

#include <cstring>

ScopedRsaKey::ScopedRsaKey()
{
    std::memset(&key, 0, sizeof(key));
}

ScopedRsaKey::~ScopedRsaKey()
{
    // rsa_free skips numbers that were never allocated, so an empty key is fine here.
    rsa_free(&key);
}
