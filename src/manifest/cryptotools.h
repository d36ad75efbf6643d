#pragma once

// The signature toolkit: one fixed scheme over LibTomCrypt for the whole program.
//
//   digest      SHA-1 (20 bytes)
//   signature   RSASSA-PSS (PKCS #1 v2.1), MGF1 over SHA-1, 8-byte salt,
//               as long as the key's modulus (128 bytes for a 1024-bit key)
//   keys        1024-bit RSA, public exponent 65537, stored as 2048-byte key blocks
//
// A key block is the DER encoding that rsa_export produces (PKCS #1 RSAPublicKey or
// RSAPrivateKey) at offset 0, followed by filler up to KEY_BLOCK_SIZE bytes. The import reads
// the DER element and ignores the filler, so blocks are always handed over whole.
//
// None of the functions returns an error code: every failure of the library or of a file
// throws crypt_exception. crypt_init() must run once, before any other call; afterwards the
// toolkit keeps no mutable shared state, so verifications may run on several threads at once.
//
// The caller owns every Rsa_key and every buffer. A key filled by load_key() or create_key()
// must be released with rsa_free() (ScopedRsaKey does that); a key whose import or generation
// failed is left zeroed and holds nothing.

#include <tomcrypt.h>

#include <exception>
#include <string>

/// Length of a key block, of every key file and of the built-in public key.
constexpr unsigned long KEY_BLOCK_SIZE = 2048;

/// Length of a SHA-1 digest as hash_msg() writes it.
constexpr unsigned long HASH_SIZE = 20;

/// Salt length of the PSS padding, on both the signing and the verifying side.
constexpr unsigned long SALT_LENGTH = 8;

/// The public half of the release signing key, as a key block of exactly KEY_BLOCK_SIZE bytes.
/// Chosen at build time (CMake cache variable VARNOLT_PUBLIC_KEY_FILE); always import it whole,
/// with the length KEY_BLOCK_SIZE.
extern const unsigned char PUBLIC_KEY[KEY_BLOCK_SIZE];

/// Every public key built into the updater (VARNOLT_PUBLIC_KEY_FILE may be a list; PUBLIC_KEY is
/// its first), and the lower-case fingerprints of revoked keys (VARNOLT_REVOKED_KEYS), which are
/// never trusted. Generated into a key library of its own, so that a program can be linked with
/// another key set; TrustedKeys is the way to use them.
extern const unsigned char PUBLIC_KEYS[][KEY_BLOCK_SIZE];
extern const int PUBLIC_KEY_COUNT;
extern const char *const REVOKED_KEYS[];
extern const int REVOKED_KEY_COUNT;

/// Index of the SHA-1 descriptor in LibTomCrypt's hash registry; set by crypt_init(), -1 before.
extern int hash_idx;

/// Index of the sprng descriptor in LibTomCrypt's PRNG registry; set by crypt_init(), -1 before.
extern int prng_idx;

/// The one exception of the toolkit. what() is the whole explanation, e.g.
/// "rsa_import: Invalid input packet." or "Cannot open file for reading: /some/path".
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    ~crypt_exception() override;

    const char *what() const noexcept override;

private:
    std::string message;
};

/// Registers the sprng PRNG, installs the big-number provider chosen at build time, registers
/// SHA-1 and looks up hash_idx and prng_idx. Call once per process, on the main thread, before
/// anything else of the toolkit. Throws if a registration fails.
void crypt_init();

/// Returns if err is CRYPT_OK; otherwise throws crypt_exception with the text
/// operation + ": " + the library's description of err.
void check_err(const char *operation, int err);

/// SHA-1 of len bytes at in into the HASH_SIZE bytes at out. in may be null when len is 0.
void hash_msg(const unsigned char *in, unsigned long len, unsigned char *out);

/// Verifies sig against the SHA-1 of the msgLen bytes at msg with key (public or private).
///
/// Returns true exactly when the signature is valid. A signature as long as the key's modulus
/// that is not valid for the data - whether it belongs to other data or is not a well-formed
/// signature at all - returns false. A signature of any other length, a corrupt key or any
/// other library failure throws crypt_exception with a text beginning "rsa_verify_hash: ".
/// msg and sig may be null when their length is 0.
bool verify_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLen,
                const unsigned char *sig, unsigned long sigLen);

/// Signs the SHA-1 of the msgLen bytes at msg with the private key, with a fresh random salt.
/// *outLen is the capacity of out on entry and the signature length on return. Throws with a
/// text beginning "rsa_sign_hash: " (e.g. a public key, or out too small).
void sign_msg(Rsa_key *key, const unsigned char *msg, unsigned long msgLen, unsigned char *out,
              unsigned long *outLen);

/// Fills key with a fresh private key: 1024-bit modulus, exponent 65537, from sprng.
/// Throws with a text beginning "rsa_make_key: ".
void create_key(Rsa_key *key);

/// Imports the DER element at the start of the len bytes at in (a key block or a bare DER
/// encoding; the bytes after the element are ignored). Throws with a text beginning
/// "rsa_import: "; key is then zeroed.
void load_key(Rsa_key *key, const unsigned char *in, unsigned long len);

/// Imports the key block of the key file at path. A file that cannot be opened or read, or is
/// no key block, throws with a text beginning "rsa_import: ".
void load_key(Rsa_key *key, const char *path);

/// Writes key as a key file of exactly KEY_BLOCK_SIZE bytes at path (created or truncated),
/// type PK_PUBLIC or PK_PRIVATE. Throws "rsa_export: ..." when the key cannot be exported in
/// that form, "Cannot open file for writing: " + path, or "Cannot write file: " + path when
/// the data did not reach the file completely.
void save_key(Rsa_key *key, int type, const char *path);

/// Reads the whole file at path into *data, grown with realloc in steps of 2048 bytes, and
/// sets *len to its length. *data is null or an earlier buffer from malloc/realloc on entry;
/// on return (also after an exception) it is the caller's to free(). An empty file gives
/// *len 0 and a buffer of 2048 bytes. Throws "Cannot open file for reading: " + path, or
/// "Cannot read file: " + path when reading fails before the end of the file (e.g. path is a
/// directory) or memory runs out.
void read_file(const char *path, unsigned char **data, unsigned long *len);

/// Writes len bytes at data to the file at path (created or truncated). Throws
/// "Cannot open file for writing: " + path, or "Cannot write file: " + path when the data
/// did not reach the file completely.
void write_file(const char *path, const unsigned char *data, unsigned long len);
