// What authentication asks of the platform's cryptography: the system's
// random generator, SHA-256, HMAC-SHA-256, AES-256-GMAC and ECDSA over P-256.
// Windows' CNG (bcrypt.dll) serves it in the DLL, OpenSSL's libcrypto on
// Linux; each platform file implements exactly these functions, and the core
// above them knows neither.
#ifndef KESNET_AUTH_CRYPTO_H
#define KESNET_AUTH_CRYPTO_H

#include <stddef.h>
#include <stdint.h>

namespace auth {

// One piece of a message that is hashed without being copied together.
struct Piece {
    const uint8_t *data;
    size_t size;
};

const size_t kDigestBytes = 32;
const size_t kSignatureBytes = 64;   // r and s, 32 bytes each, big-endian
const size_t kPublicKeyBytes = 64;   // the point's x and y, 32 bytes each
const size_t kPrivateKeyBytes = 32;  // the scalar d

struct TeacherPublicKey {
    uint8_t xy[kPublicKeyBytes];
};

struct TeacherPrivateKey {
    uint8_t d[kPrivateKeyBytes];
    TeacherPublicKey pub;
};

// Every function returns false when the platform's cryptography failed (or
// refused the key); then nothing it was to write may be trusted.
bool RandomBytes(uint8_t *out, size_t size);
bool Sha256(const Piece *pieces, size_t count, uint8_t out[kDigestBytes]);
bool HmacSha256(const uint8_t *key, size_t keySize, const Piece *pieces, size_t count,
                uint8_t out[kDigestBytes]);

bool GenerateTeacherKey(TeacherPrivateKey *key);
bool SignDigest(const TeacherPrivateKey &key, const uint8_t digest[kDigestBytes],
                uint8_t signature[kSignatureBytes]);
// False also for a signature that does not verify.
bool VerifyDigest(const TeacherPublicKey &key, const uint8_t digest[kDigestBytes],
                  const uint8_t signature[kSignatureBytes]);

// AES-256-GMAC: the tag of AES-256-GCM over additional data alone, with
// nothing to encrypt. The key is scheduled once, when it is set, since a
// stream tags every frame under its one key. A nonce must never tag twice
// under one key: two tags under one nonce let a forger solve for the hash key.
const size_t kGmacKeyBytes = 32;
const size_t kGmacNonceBytes = 12;
const size_t kGmacTagBytes = 16;

class Gmac {
public:
    Gmac() = default;
    ~Gmac() { Forget(); }
    Gmac(const Gmac &) = delete;
    Gmac &operator=(const Gmac &) = delete;

    // False if the platform's cryptography refused the key; then the Gmac
    // holds none.
    bool SetKey(const uint8_t key[kGmacKeyBytes]);
    // False without a key, or if the platform's cryptography failed.
    bool Tag(const uint8_t nonce[kGmacNonceBytes], const uint8_t *data, size_t size, uint8_t tag[kGmacTagBytes]);

private:
    struct Keyed;  // the platform's scheduled key
    void Forget();
    Keyed *m_keyed = nullptr;
};

}  // namespace auth

#endif
