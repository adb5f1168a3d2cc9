// The cryptography of authentication on Linux, from OpenSSL's libcrypto:
// libsodium has HMAC-SHA-256 but no ECDSA over P-256, which the teacher's
// key must be so that Windows' CNG verifies the same signatures.
#include "auth/crypto.h"

#include <string.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

namespace auth {

namespace {

const char kCurve[] = "prime256v1";

template <typename T, void (*Free)(T *)>
struct Owned {
    T *p = nullptr;
    Owned() = default;
    explicit Owned(T *q) : p(q) {}
    ~Owned()
    {
        if (p != nullptr)
            Free(p);
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
};

void FreeBn(BIGNUM *bn) { BN_clear_free(bn); }

// The uncompressed encoding of a point: 0x04, x, y.
void EncodePoint(const TeacherPublicKey &key, uint8_t out[1 + kPublicKeyBytes])
{
    out[0] = 0x04;
    memcpy(out + 1, key.xy, kPublicKeyBytes);
}

// A P-256 key from its raw halves; d null for a public key alone.
EVP_PKEY *MakeKey(const TeacherPublicKey &pub, const uint8_t *d)
{
    uint8_t point[1 + kPublicKeyBytes];
    EncodePoint(pub, point);
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    Owned<BIGNUM, FreeBn> scalar(d != nullptr ? BN_bin2bn(d, kPrivateKeyBytes, nullptr) : nullptr);
    if (build.p == nullptr || (d != nullptr && scalar.p == nullptr) ||
        !OSSL_PARAM_BLD_push_utf8_string(build.p, OSSL_PKEY_PARAM_GROUP_NAME, kCurve, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.p, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) ||
        (d != nullptr && !OSSL_PARAM_BLD_push_BN(build.p, OSSL_PKEY_PARAM_PRIV_KEY, scalar.p)))
        return nullptr;
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.p));
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY *key = nullptr;
    if (params.p == nullptr || context.p == nullptr || EVP_PKEY_fromdata_init(context.p) <= 0 ||
        EVP_PKEY_fromdata(context.p, &key, d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.p) <= 0)
        return nullptr;
    return key;
}

bool ToRaw(const ECDSA_SIG *sig, uint8_t out[kSignatureBytes])
{
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    return BN_bn2binpad(r, out, 32) == 32 && BN_bn2binpad(s, out + 32, 32) == 32;
}

}  // namespace

bool RandomBytes(uint8_t *out, size_t size)
{
    return RAND_bytes(out, static_cast<int>(size)) == 1;
}

bool Sha256(const Piece *pieces, size_t count, uint8_t out[kDigestBytes])
{
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    if (context.p == nullptr || EVP_DigestInit_ex(context.p, EVP_sha256(), nullptr) != 1)
        return false;
    for (size_t i = 0; i < count; ++i)
        if (EVP_DigestUpdate(context.p, pieces[i].data, pieces[i].size) != 1)
            return false;
    unsigned int size = 0;
    return EVP_DigestFinal_ex(context.p, out, &size) == 1 && size == kDigestBytes;
}

namespace {

// A thread's HMAC context, kept keyed with the key it last used: a process
// tags thousands of packets a second under one key, and making a context and
// setting its key for each would cost as much again as the hash.
class KeyedMac {
public:
    ~KeyedMac()
    {
        EVP_MAC_CTX_free(m_context);
        OPENSSL_cleanse(m_key, sizeof m_key);
    }
    // Ready to hash under key; null if the platform's cryptography failed.
    EVP_MAC_CTX *Under(EVP_MAC *mac, const uint8_t *key, size_t keySize)
    {
        if (m_context == nullptr && (m_context = EVP_MAC_CTX_new(mac)) == nullptr)
            return nullptr;
        if (m_keySize != 0 && keySize == m_keySize && CRYPTO_memcmp(key, m_key, keySize) == 0)
            return EVP_MAC_init(m_context, nullptr, 0, nullptr) == 1 ? m_context : nullptr;
        // Until the new key is set, the context holds no key to be reused.
        OPENSSL_cleanse(m_key, sizeof m_key);
        m_keySize = 0;
        char digest[] = "SHA256";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        if (EVP_MAC_init(m_context, key, keySize, params) != 1)
            return nullptr;
        if (keySize <= sizeof m_key) {
            memcpy(m_key, key, keySize);
            m_keySize = keySize;
        }
        return m_context;
    }

private:
    EVP_MAC_CTX *m_context = nullptr;
    uint8_t m_key[64] = {};
    size_t m_keySize = 0;  // 0: the context's key is not to be reused
};

}  // namespace

bool HmacSha256(const uint8_t *key, size_t keySize, const Piece *pieces, size_t count, uint8_t out[kDigestBytes])
{
    // The MAC is fetched once: fetching costs more than a datagram's tag.
    static EVP_MAC *const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    thread_local KeyedMac keyed;
    EVP_MAC_CTX *context = mac != nullptr ? keyed.Under(mac, key, keySize) : nullptr;
    if (context == nullptr)
        return false;
    for (size_t i = 0; i < count; ++i)
        if (EVP_MAC_update(context, pieces[i].data, pieces[i].size) != 1)
            return false;
    size_t size = 0;
    return EVP_MAC_final(context, out, &size, kDigestBytes) == 1 && size == kDigestBytes;
}

struct Gmac::Keyed {
    EVP_CIPHER_CTX *context;
};

bool Gmac::SetKey(const uint8_t key[kGmacKeyBytes])
{
    Forget();
    m_keyed = new Keyed{EVP_CIPHER_CTX_new()};
    if (m_keyed->context == nullptr ||
        EVP_EncryptInit_ex(m_keyed->context, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1) {
        Forget();
        return false;
    }
    return true;
}

bool Gmac::Tag(const uint8_t nonce[kGmacNonceBytes], const uint8_t *data, size_t size, uint8_t tag[kGmacTagBytes])
{
    if (m_keyed == nullptr)
        return false;
    // A nonce alone starts a new message under the key already scheduled.
    EVP_CIPHER_CTX *context = m_keyed->context;
    int written = 0;
    uint8_t nothing[16];
    return EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           (size == 0 || EVP_EncryptUpdate(context, nullptr, &written, data, static_cast<int>(size)) == 1) &&
           EVP_EncryptFinal_ex(context, nothing, &written) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGmacTagBytes), tag) == 1;
}

void Gmac::Forget()
{
    if (m_keyed != nullptr)
        EVP_CIPHER_CTX_free(m_keyed->context);
    delete m_keyed;
    m_keyed = nullptr;
}

bool GenerateTeacherKey(TeacherPrivateKey *key)
{
    Owned<EVP_PKEY, EVP_PKEY_free> pair(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve));
    if (pair.p == nullptr)
        return false;
    BIGNUM *d = nullptr;
    uint8_t point[1 + kPublicKeyBytes];
    size_t pointSize = 0;
    if (EVP_PKEY_get_bn_param(pair.p, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1)
        return false;
    Owned<BIGNUM, FreeBn> scalar(d);
    if (BN_bn2binpad(d, key->d, kPrivateKeyBytes) != static_cast<int>(kPrivateKeyBytes) ||
        EVP_PKEY_get_octet_string_param(pair.p, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointSize) != 1 ||
        pointSize != sizeof point || point[0] != 0x04)
        return false;
    memcpy(key->pub.xy, point + 1, kPublicKeyBytes);
    return true;
}

bool SignDigest(const TeacherPrivateKey &key, const uint8_t digest[kDigestBytes], uint8_t signature[kSignatureBytes])
{
    Owned<EVP_PKEY, EVP_PKEY_free> pair(MakeKey(key.pub, key.d));
    if (pair.p == nullptr)
        return false;
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(EVP_PKEY_CTX_new(pair.p, nullptr));
    uint8_t der[80];
    size_t derSize = sizeof der;
    if (context.p == nullptr || EVP_PKEY_sign_init(context.p) <= 0 ||
        EVP_PKEY_sign(context.p, der, &derSize, digest, kDigestBytes) <= 0)
        return false;
    const unsigned char *read = der;
    Owned<ECDSA_SIG, ECDSA_SIG_free> sig(d2i_ECDSA_SIG(nullptr, &read, static_cast<long>(derSize)));
    return sig.p != nullptr && ToRaw(sig.p, signature);
}

bool VerifyDigest(const TeacherPublicKey &key, const uint8_t digest[kDigestBytes],
                  const uint8_t signature[kSignatureBytes])
{
    Owned<EVP_PKEY, EVP_PKEY_free> pub(MakeKey(key, nullptr));
    Owned<ECDSA_SIG, ECDSA_SIG_free> sig(ECDSA_SIG_new());
    if (pub.p == nullptr || sig.p == nullptr)
        return false;
    BIGNUM *r = BN_bin2bn(signature, 32, nullptr), *s = BN_bin2bn(signature + 32, 32, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.p, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char *der = nullptr;
    int derSize = i2d_ECDSA_SIG(sig.p, &der);
    if (derSize <= 0)
        return false;
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(EVP_PKEY_CTX_new(pub.p, nullptr));
    bool good = context.p != nullptr && EVP_PKEY_verify_init(context.p) > 0 &&
                EVP_PKEY_verify(context.p, der, static_cast<size_t>(derSize), digest, kDigestBytes) == 1;
    OPENSSL_free(der);
    return good;
}

}  // namespace auth
