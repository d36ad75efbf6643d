#pragma once

#include "manifest/cryptotools.h"

/// Owns one Rsa_key for the length of a scope: zeroed on construction, released with rsa_free
/// on destruction. Hand get() to load_key() or create_key() once; a key they could not fill
/// stays empty, and releasing an empty key does nothing.
class ScopedRsaKey
{
public:
    ScopedRsaKey();
    ~ScopedRsaKey();

    ScopedRsaKey(const ScopedRsaKey &) = delete;
    ScopedRsaKey &operator=(const ScopedRsaKey &) = delete;

    Rsa_key *get() { return &key; }

    /// PK_PUBLIC or PK_PRIVATE once filled.
    int type() const { return key.type; }

    /// Whether the key holds a modulus, i.e. was filled successfully.
    bool isLoaded() const { return key.N != nullptr; }

private:
    Rsa_key key;
};
