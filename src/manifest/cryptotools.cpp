#include "manifest/cryptotools.h"

#include "manifest/evpdigest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <utility>

#if defined(TFM_DESC)
#define VARNOLT_MATH_DESCRIPTOR tfm_desc
#elif defined(LTM_DESC)
#define VARNOLT_MATH_DESCRIPTOR ltm_desc
#else
#error "No big-number provider for LibTomCrypt chosen (the build defines TFM_DESC or LTM_DESC)"
#endif

int hash_idx = -1;
int prng_idx = -1;

namespace {

constexpr unsigned long READ_CHUNK = 2048;

// LibTomCrypt aborts the process on a null pointer argument, even together with a zero
// length. Empty input must stay an ordinary case, so empty buffers are pointed here instead.
const unsigned char noBytes[1] = {0};

[[noreturn]] void throwFileError(const char *text, const char *path)
{
    throw crypt_exception(std::string(text) + path);
}

// Keys that were never filled (or were zeroed after a failed import) have no modulus; the
// library would dereference it unchecked.
void requireKey(const char *operation, Rsa_key *key)
{
    if (!key || !key->N)
        check_err(operation, CRYPT_INVALID_ARG);
}

void closeAfterWriting(FILE *file, bool written, const char *path)
{
    // A full disk often shows only when the buffered data is flushed by fclose.
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        throwFileError("Cannot write file: ", path);
}

} // namespace

crypt_exception::crypt_exception(std::string message) : message(std::move(message)) { }

crypt_exception::~crypt_exception() = default;

const char *crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = VARNOLT_MATH_DESCRIPTOR;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void check_err(const char *operation, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + ": " + error_to_string(err));
}

void hash_msg(const unsigned char *in, unsigned long len, unsigned char *out)
{
    if (!in)
        in = noBytes;
    // The signatures' SHA-1, from the library that uses the processor's SHA instructions: a
    // product ini of many files is hashed at every run, several times faster so.
    const QByteArray digest = EvpDigest::hash(
        EvpDigest::Sha1Algorithm,
        QByteArrayView(reinterpret_cast<const char *>(in), qsizetype(len)));
    std::copy(digest.cbegin(), digest.cend(), out);
}

bool verify_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLen,
                const unsigned char *sig, unsigned long sigLen)
{
    requireKey("rsa_verify_hash", key);
    if (!sig) {
        if (sigLen != 0)
            check_err("rsa_verify_hash", CRYPT_INVALID_ARG);
        sig = noBytes;
    }

    unsigned char hash[HASH_SIZE];
    hash_msg(msg, msgLen, hash);

    int valid = 0;
    const int err = rsa_verify_hash_ex(sig, sigLen, hash, HASH_SIZE, LTC_PKCS_1_PSS, hash_idx,
                                       SALT_LENGTH, &valid, key);

    // The library reports a signature of the right length whose number is out of range or
    // whose padding is malformed as an error, not as a mismatch. Such a signature is simply
    // not valid for the data; only a wrong length (and real failures) count as errors.
    if ((err == CRYPT_INVALID_PACKET || err == CRYPT_PK_INVALID_SIZE)
        && sigLen == ltc_mp.unsigned_size(key->N))
        return false;

    check_err("rsa_verify_hash", err);
    return valid == 1;
}

void sign_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLen, unsigned char *out,
              unsigned long *outLen)
{
    requireKey("rsa_sign_hash", key);
    if (!out || !outLen)
        check_err("rsa_sign_hash", CRYPT_INVALID_ARG);

    unsigned char hash[HASH_SIZE];
    hash_msg(msg, msgLen, hash);
    const int err = rsa_sign_hash_ex(hash, HASH_SIZE, out, outLen, LTC_PKCS_1_PSS, nullptr,
                                     prng_idx, hash_idx, SALT_LENGTH, key);
    check_err("rsa_sign_hash", err);
}

void create_key(Rsa_key *key)
{
    const int err = rsa_make_key(nullptr, prng_idx, 128, 65537, key);
    if (err != CRYPT_OK)
        std::memset(key, 0, sizeof(*key));
    check_err("rsa_make_key", err);
}

void load_key(Rsa_key *key, const unsigned char *in, unsigned long len)
{
    if (!in) {
        std::memset(key, 0, sizeof(*key));
        check_err("rsa_import", CRYPT_INVALID_ARG);
    }
    const int err = rsa_import(in, len, key);
    // A failed import frees the numbers but leaves dangling pointers behind; a later rsa_free
    // on them would free twice.
    if (err != CRYPT_OK)
        std::memset(key, 0, sizeof(*key));
    check_err("rsa_import", err);
}

void load_key(Rsa_key *key, const char *path)
{
    unsigned char block[KEY_BLOCK_SIZE] = {};
    if (FILE *file = std::fopen(path, "rb")) {
        (void)std::fread(block, 1, sizeof(block), file);
        std::fclose(file);
    }
    // An unreadable file leaves the block zeroed, which the import rejects.
    try {
        load_key(key, block, sizeof(block));
    } catch (...) {
        zeromem(block, sizeof(block));
        throw;
    }
    zeromem(block, sizeof(block));
}

void save_key(Rsa_key *key, int type, const char *path)
{
    requireKey("rsa_export", key);
    unsigned char block[KEY_BLOCK_SIZE] = {};
    unsigned long blockLen = sizeof(block);
    check_err("rsa_export", rsa_export(block, &blockLen, type, key));

    FILE *file = std::fopen(path, "wb");
    if (!file) {
        zeromem(block, sizeof(block));
        throwFileError("Cannot open file for writing: ", path);
    }
    const bool written = std::fwrite(block, 1, sizeof(block), file) == sizeof(block);
    zeromem(block, sizeof(block));
    closeAfterWriting(file, written, path);
}

void read_file(const char *path, unsigned char **data, unsigned long *len)
{
    *len = 0;
    FILE *file = std::fopen(path, "rb");
    if (!file)
        throwFileError("Cannot open file for reading: ", path);

    for (;;) {
        auto *grown = static_cast<unsigned char *>(std::realloc(*data, *len + READ_CHUNK));
        if (!grown) {
            std::fclose(file);
            throwFileError("Cannot read file: ", path);
        }
        *data = grown;
        const size_t count = std::fread(*data + *len, 1, READ_CHUNK, file);
        *len += count;
        if (count < READ_CHUNK) {
            // A short read is either the end of the file or an error such as EISDIR; without
            // telling them apart a directory would make this loop grow the buffer forever.
            const bool failed = std::ferror(file) != 0;
            std::fclose(file);
            if (failed)
                throwFileError("Cannot read file: ", path);
            return;
        }
    }
}

void write_file(const char *path, const unsigned char *data, unsigned long len)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        throwFileError("Cannot open file for writing: ", path);
    const bool written = len == 0 || std::fwrite(data, 1, len, file) == len;
    closeAfterWriting(file, written, path);
}
