// The cryptography of authentication in the DLL, from Windows' CNG
// (bcrypt.dll), so that the DLL still needs nothing but system DLLs.
#include "auth/crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

#include <new>

namespace auth {

namespace {

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

// A provider opened once, on first use (never from DllMain), and kept for
// the life of the process: opening one costs more than many hashes.
class Provider {
public:
    // chainMode: the block cipher mode of every key made from it, or null.
    Provider(const wchar_t *algorithm, ULONG flags, const wchar_t *chainMode = nullptr)
    {
        if (!Succeeded(BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, flags))) {
            m_handle = nullptr;
        } else if (chainMode != nullptr &&
                   !Succeeded(BCryptSetProperty(m_handle, BCRYPT_CHAINING_MODE,
                                                reinterpret_cast<PUCHAR>(const_cast<wchar_t *>(chainMode)),
                                                static_cast<ULONG>((wcslen(chainMode) + 1) * sizeof(wchar_t)), 0))) {
            BCryptCloseAlgorithmProvider(m_handle, 0);
            m_handle = nullptr;
        }
    }
    BCRYPT_ALG_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

BCRYPT_ALG_HANDLE Sha256Provider()
{
    static const Provider provider(BCRYPT_SHA256_ALGORITHM, 0);
    return provider.Get();
}

BCRYPT_ALG_HANDLE HmacProvider()
{
    static const Provider provider(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return provider.Get();
}

BCRYPT_ALG_HANDLE GcmProvider()
{
    static const Provider provider(BCRYPT_AES_ALGORITHM, 0, BCRYPT_CHAIN_MODE_GCM);
    return provider.Get();
}

BCRYPT_ALG_HANDLE EcdsaProvider()
{
    static const Provider provider(BCRYPT_ECDSA_P256_ALGORITHM, 0);
    return provider.Get();
}

bool HashPieces(BCRYPT_ALG_HANDLE provider, const uint8_t *key, size_t keySize, const Piece *pieces,
                size_t count, uint8_t out[kDigestBytes])
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (provider == nullptr ||
        !Succeeded(BCryptCreateHash(provider, &hash, nullptr, 0, const_cast<PUCHAR>(key),
                                    static_cast<ULONG>(keySize), 0)))
        return false;
    bool ok = true;
    for (size_t i = 0; ok && i < count; ++i)
        ok = Succeeded(BCryptHashData(hash, const_cast<PUCHAR>(pieces[i].data), static_cast<ULONG>(pieces[i].size), 0));
    ok = ok && Succeeded(BCryptFinishHash(hash, out, kDigestBytes, 0));
    BCryptDestroyHash(hash);
    return ok;
}

// A key blob as CNG lays it out: the header, x, y and (private) d.
struct EccBlob {
    BCRYPT_ECCKEY_BLOB header;
    uint8_t xy[kPublicKeyBytes];
    uint8_t d[kPrivateKeyBytes];
};

BCRYPT_KEY_HANDLE ImportKey(const TeacherPublicKey &pub, const uint8_t *d)
{
    EccBlob blob = {};
    blob.header.dwMagic = d != nullptr ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    memcpy(blob.xy, pub.xy, sizeof blob.xy);
    ULONG size = sizeof blob.header + sizeof blob.xy;
    if (d != nullptr) {
        memcpy(blob.d, d, sizeof blob.d);
        size += sizeof blob.d;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    bool ok = EcdsaProvider() != nullptr &&
              Succeeded(BCryptImportKeyPair(EcdsaProvider(), nullptr,
                                            d != nullptr ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB, &key,
                                            reinterpret_cast<PUCHAR>(&blob), size, 0));
    SecureZeroMemory(&blob, sizeof blob);
    return ok ? key : nullptr;
}

}  // namespace

bool RandomBytes(uint8_t *out, size_t size)
{
    return Succeeded(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool Sha256(const Piece *pieces, size_t count, uint8_t out[kDigestBytes])
{
    return HashPieces(Sha256Provider(), nullptr, 0, pieces, count, out);
}

bool HmacSha256(const uint8_t *key, size_t keySize, const Piece *pieces, size_t count, uint8_t out[kDigestBytes])
{
    return HashPieces(HmacProvider(), key, keySize, pieces, count, out);
}

struct Gmac::Keyed {
    BCRYPT_KEY_HANDLE key;
};

bool Gmac::SetKey(const uint8_t key[kGmacKeyBytes])
{
    Forget();
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (GcmProvider() == nullptr ||
        !Succeeded(BCryptGenerateSymmetricKey(GcmProvider(), &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                              kGmacKeyBytes, 0)))
        return false;
    m_keyed = new (std::nothrow) Keyed{handle};
    if (m_keyed == nullptr)
        BCryptDestroyKey(handle);
    return m_keyed != nullptr;
}

bool Gmac::Tag(const uint8_t nonce[kGmacNonceBytes], const uint8_t *data, size_t size, uint8_t tag[kGmacTagBytes])
{
    if (m_keyed == nullptr)
        return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = kGmacNonceBytes;
    info.pbAuthData = const_cast<PUCHAR>(data);
    info.cbAuthData = static_cast<ULONG>(size);
    info.pbTag = tag;
    info.cbTag = kGmacTagBytes;
    ULONG encrypted = 0;
    return Succeeded(BCryptEncrypt(m_keyed->key, nullptr, 0, &info, nullptr, 0, nullptr, 0, &encrypted, 0));
}

void Gmac::Forget()
{
    if (m_keyed != nullptr)
        BCryptDestroyKey(m_keyed->key);
    delete m_keyed;
    m_keyed = nullptr;
}

bool GenerateTeacherKey(TeacherPrivateKey *key)
{
    BCRYPT_KEY_HANDLE pair = nullptr;
    if (EcdsaProvider() == nullptr || !Succeeded(BCryptGenerateKeyPair(EcdsaProvider(), &pair, 256, 0)))
        return false;
    EccBlob blob = {};
    ULONG size = 0;
    bool ok = Succeeded(BCryptFinalizeKeyPair(pair, 0)) &&
              Succeeded(BCryptExportKey(pair, nullptr, BCRYPT_ECCPRIVATE_BLOB, reinterpret_cast<PUCHAR>(&blob),
                                        sizeof blob, &size, 0)) &&
              size == sizeof blob && blob.header.cbKey == 32;
    BCryptDestroyKey(pair);
    if (ok) {
        memcpy(key->pub.xy, blob.xy, sizeof blob.xy);
        memcpy(key->d, blob.d, sizeof blob.d);
    }
    SecureZeroMemory(&blob, sizeof blob);
    return ok;
}

bool SignDigest(const TeacherPrivateKey &key, const uint8_t digest[kDigestBytes], uint8_t signature[kSignatureBytes])
{
    BCRYPT_KEY_HANDLE handle = ImportKey(key.pub, key.d);
    if (handle == nullptr)
        return false;
    ULONG size = 0;
    bool ok = Succeeded(BCryptSignHash(handle, nullptr, const_cast<PUCHAR>(digest), kDigestBytes, signature,
                                       kSignatureBytes, &size, 0)) &&
              size == kSignatureBytes;
    BCryptDestroyKey(handle);
    return ok;
}

bool VerifyDigest(const TeacherPublicKey &key, const uint8_t digest[kDigestBytes],
                  const uint8_t signature[kSignatureBytes])
{
    BCRYPT_KEY_HANDLE handle = ImportKey(key, nullptr);
    if (handle == nullptr)
        return false;
    bool ok = Succeeded(BCryptVerifySignature(handle, nullptr, const_cast<PUCHAR>(digest), kDigestBytes,
                                              const_cast<PUCHAR>(signature), kSignatureBytes, 0));
    BCryptDestroyKey(handle);
    return ok;
}

}  // namespace auth
