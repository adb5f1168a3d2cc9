// The exported authentication calls (KesAuth...): the keys and options the
// host gives, made into the process's settings, and its counters.
#include "kesnet.h"

#include <string.h>

#include <string>

#include "auth/keys.h"
#include "common/host_pointers.h"
#include "win/auth_process.h"

namespace {

// What the host has given so far; settings are made from it anew after each
// change, and exist only while it holds a class key.
struct Given {
    bool haveClassKey = false;
    auth::ClassKey classKey = {};
    bool haveTeacherPublic = false;
    auth::TeacherPublicKey teacherPublic = {};
    bool haveTeacherPrivate = false;
    auth::TeacherPrivateKey teacherPrivate = {};
    bool teacherOnly = false;
    auth::WallMicros clockDifference = auth::kDefaultClockDifference;
    int placesPerAddress = auth::kDefaultPlacesPerAddress;
};

SRWLOCK g_givenLock = SRWLOCK_INIT;
Given g_given;

// Called with g_givenLock held.
int Apply()
{
    if (!g_given.haveClassKey) {
        winauth::Replace(nullptr);
        return KES_AUTH_OK;
    }
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(g_given.classKey);
    if (settings == nullptr)
        return KES_AUTH_E_CRYPTO;
    // The teacher's own machine checks its signatures with the public half.
    settings->haveTeacherPrivate = g_given.haveTeacherPrivate;
    settings->teacherPrivate = g_given.teacherPrivate;
    settings->haveTeacherPublic = g_given.haveTeacherPublic || g_given.haveTeacherPrivate;
    settings->teacherPublic = g_given.haveTeacherPrivate ? g_given.teacherPrivate.pub : g_given.teacherPublic;
    settings->teacherOnly = g_given.teacherOnly;
    settings->maxClockDifference = g_given.clockDifference;
    settings->placesPerAddress = g_given.placesPerAddress;
    winauth::Replace(settings);
    return KES_AUTH_OK;
}

template <typename Change>
int ChangeGiven(Change change)
{
    AcquireSRWLockExclusive(&g_givenLock);
    Given before = g_given;
    change(g_given);
    int result = Apply();
    if (result != KES_AUTH_OK)
        g_given = before;
    ReleaseSRWLockExclusive(&g_givenLock);
    SecureZeroMemory(&before, sizeof before);
    return result;
}

int SetKey(int nKind, const uint8_t *bytes, bool forget)
{
    return ChangeGiven([&](Given &given) {
        switch (nKind) {
        case KES_KEY_CLASS:
            given.haveClassKey = !forget;
            if (!forget)
                memcpy(given.classKey.bytes, bytes, sizeof given.classKey.bytes);
            break;
        case KES_KEY_TEACHER_PUBLIC:
            given.haveTeacherPublic = !forget;
            if (!forget)
                memcpy(given.teacherPublic.xy, bytes, sizeof given.teacherPublic.xy);
            break;
        default:
            given.haveTeacherPrivate = !forget;
            if (!forget) {
                memcpy(given.teacherPrivate.d, bytes, sizeof given.teacherPrivate.d);
                memcpy(given.teacherPrivate.pub.xy, bytes + sizeof given.teacherPrivate.d,
                       sizeof given.teacherPrivate.pub.xy);
            }
            break;
        }
    });
}

DWORD KeyBytes(int nKind)
{
    switch (nKind) {
    case KES_KEY_CLASS:
        return auth::kClassKeyBytes;
    case KES_KEY_TEACHER_PUBLIC:
        return auth::kPublicKeyBytes;
    case KES_KEY_TEACHER_PRIVATE:
        return auth::kPrivateKeyBytes + auth::kPublicKeyBytes;
    default:
        return 0;
    }
}

}  // namespace

extern "C" int __cdecl KesAuthSetKey(int nKind, const void *pKey, DWORD dwLength)
{
    DWORD wanted = KeyBytes(nKind);
    if (wanted == 0)
        return KES_AUTH_E_PARAM;
    if (pKey == nullptr && dwLength == 0)
        return SetKey(nKind, nullptr, true);
    if (dwLength != wanted || IsBadReadPtr(pKey, dwLength))
        return KES_AUTH_E_PARAM;
    return SetKey(nKind, static_cast<const uint8_t *>(pKey), false);
}

extern "C" int __cdecl KesAuthLoadKeyFile(const char *pszPath)
{
    if (pszPath == nullptr || !IsReadableText(pszPath))
        return KES_AUTH_E_PARAM;
    std::string error;
    auth::KeyFile key;
    if (!auth::ReadKeyFile(pszPath, &key, &error))
        return KES_AUTH_E_KEYFILE;
    int result;
    switch (key.kind) {
    case auth::KeyKind::kClass:
        result = SetKey(KES_KEY_CLASS, key.classKey.bytes, false);
        break;
    case auth::KeyKind::kTeacherPublic:
        result = SetKey(KES_KEY_TEACHER_PUBLIC, key.teacherPublic.xy, false);
        break;
    default: {
        uint8_t bytes[auth::kPrivateKeyBytes + auth::kPublicKeyBytes];
        memcpy(bytes, key.teacherPrivate.d, auth::kPrivateKeyBytes);
        memcpy(bytes + auth::kPrivateKeyBytes, key.teacherPrivate.pub.xy, auth::kPublicKeyBytes);
        result = SetKey(KES_KEY_TEACHER_PRIVATE, bytes, false);
        SecureZeroMemory(bytes, sizeof bytes);
        break;
    }
    }
    SecureZeroMemory(&key, sizeof key);
    return result;
}

extern "C" int __cdecl KesAuthSetOptions(DWORD dwFlags, DWORD dwClockDifference, DWORD dwPlacesPerAddress)
{
    // A listener serves at most 100 clients of any address.
    if ((dwFlags & ~static_cast<DWORD>(KES_AUTH_TEACHER_ONLY)) != 0 || dwPlacesPerAddress > 100)
        return KES_AUTH_E_PARAM;
    return ChangeGiven([&](Given &given) {
        given.teacherOnly = (dwFlags & KES_AUTH_TEACHER_ONLY) != 0;
        given.clockDifference =
            dwClockDifference == 0 ? auth::kDefaultClockDifference : dwClockDifference * 1000000ull;
        given.placesPerAddress =
            dwPlacesPerAddress == 0 ? auth::kDefaultPlacesPerAddress : static_cast<int>(dwPlacesPerAddress);
    });
}

extern "C" int __cdecl KesAuthClear(void)
{
    int result = ChangeGiven([](Given &given) { given = Given(); });
    winauth::Refusals().Clear();
    return result;
}

extern "C" int __cdecl KesAuthGetCounters(KES_AUTH_COUNTERS *pCounters)
{
    if (pCounters == nullptr || IsBadWritePtr(pCounters, sizeof *pCounters) ||
        pCounters->dwSize != sizeof *pCounters)
        return KES_AUTH_E_PARAM;
    const auth::Counters &refusals = winauth::Refusals();
    pCounters->dwUnknownSender = refusals.Of(auth::Refusal::kUnknownSender);
    pCounters->dwBadTag = refusals.Of(auth::Refusal::kBadTag);
    pCounters->dwReplay = refusals.Of(auth::Refusal::kReplay);
    pCounters->dwNoSignature = refusals.Of(auth::Refusal::kNoSignature);
    pCounters->dwTooManyPlaces = refusals.Of(auth::Refusal::kTooManyPlaces);
    return KES_AUTH_OK;
}

extern "C" int __cdecl KesAuthFromTeacher(void)
{
    return winauth::DeliveringTeachers() ? 1 : 0;
}

extern "C" int __cdecl KesAuthSecureOnPassword(BYTE *pPassword)
{
    if (pPassword == nullptr || IsBadWritePtr(pPassword, auth::kSecureOnBytes))
        return KES_AUTH_E_PARAM;
    AcquireSRWLockShared(&g_givenLock);
    bool have = g_given.haveClassKey;
    auth::ClassKey key = g_given.classKey;
    ReleaseSRWLockShared(&g_givenLock);
    int result = !have ? KES_AUTH_E_PARAM
                       : auth::SecureOnPassword(key, pPassword) ? KES_AUTH_OK : KES_AUTH_E_CRYPTO;
    SecureZeroMemory(&key, sizeof key);
    return result;
}

extern "C" const char *__cdecl KesAuthErrorText(int nResult)
{
    switch (nResult) {
    case KES_AUTH_OK:
        return "done";
    case KES_AUTH_E_PARAM:
        return "a pointer, kind, size or flag the call cannot take (or no class key for a SecureOn password)";
    case KES_AUTH_E_KEYFILE:
        return "the file cannot be read or is not a kesnet key file";
    case KES_AUTH_E_CRYPTO:
        return "the system's cryptography failed";
    default:
        return "not a result of the KesAuth calls";
    }
}
