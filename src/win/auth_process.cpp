#include "win/auth_process.h"

#include <winsock2.h>

#include <string.h>

#include <new>

namespace winauth {

namespace {

// The largest UDP payload over IPv4.
const size_t kLargestDatagram = 65507;
// 100-ns ticks from 1601 to 1970.
const unsigned long long kUnixEpochInFileTime = 116444736000000000ull;

SRWLOCK g_settingsLock = SRWLOCK_INIT;
std::shared_ptr<const auth::Settings> g_settings;
// Read without the lock first, so that a process without a key pays nothing.
volatile LONG g_on = 0;
auth::Counters g_refusals;

struct Sent {
    auth::SealedId id;
    DWORD dwAddr;
    bool answered;
};
SRWLOCK g_sentLock = SRWLOCK_INIT;
Sent g_sent[kSentRemembered];
size_t g_nextSent = 0;

bool IsGroup(DWORD dwAddr)
{
    return (ntohl(dwAddr) >> 28) == 0xE;
}
// A Win32 TLS slot, not thread_local: the runtime's emulated TLS would make
// its own synchronisation handles in every process that loads the DLL.
volatile LONG g_teacherSlot = -1;

DWORD TeacherSlot()
{
    LONG slot = InterlockedCompareExchange(&g_teacherSlot, -1, -1);
    if (slot != -1)
        return static_cast<DWORD>(slot);
    DWORD made = TlsAlloc();
    if (made == TLS_OUT_OF_INDEXES)
        return made;
    if (InterlockedCompareExchange(&g_teacherSlot, static_cast<LONG>(made), -1) != -1)
        TlsFree(made);  // another thread was first
    return static_cast<DWORD>(g_teacherSlot);
}

uint32_t NewSenderId()
{
    uint8_t bytes[4] = {};
    auth::RandomBytes(bytes, sizeof bytes);  // a failure leaves the socket unable to seal (see Valid)
    return static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

}  // namespace

std::shared_ptr<const auth::Settings> Current()
{
    if (InterlockedCompareExchange(&g_on, 0, 0) == 0)
        return nullptr;
    AcquireSRWLockShared(&g_settingsLock);
    std::shared_ptr<const auth::Settings> settings = g_settings;
    ReleaseSRWLockShared(&g_settingsLock);
    return settings;
}

void Replace(std::shared_ptr<const auth::Settings> settings)
{
    AcquireSRWLockExclusive(&g_settingsLock);
    g_settings.swap(settings);
    InterlockedExchange(&g_on, g_settings != nullptr);
    ReleaseSRWLockExclusive(&g_settingsLock);
    // The old settings go here, outside the lock, once no socket holds them.
}

auth::Counters &Refusals()
{
    return g_refusals;
}

void SentTo(const auth::SealedId &id, DWORD dwAddr)
{
    AcquireSRWLockExclusive(&g_sentLock);
    g_sent[g_nextSent] = {id, dwAddr, false};
    g_nextSent = (g_nextSent + 1) % kSentRemembered;
    ReleaseSRWLockExclusive(&g_sentLock);
}

bool TakeAnswer(const auth::SealedId &answered, DWORD dwFrom)
{
    bool taken = false;
    AcquireSRWLockExclusive(&g_sentLock);
    for (Sent &sent : g_sent) {
        if (sent.id.sequence != answered.sequence || sent.id.sender != answered.sender || sent.id.sequence == 0)
            continue;
        // A question to a group has many answers, each from another member.
        if (IsGroup(sent.dwAddr)) {
            taken = true;
        } else if (sent.dwAddr == dwFrom && !sent.answered) {
            sent.answered = true;
            taken = true;
        }
        break;
    }
    ReleaseSRWLockExclusive(&g_sentLock);
    return taken;
}

auth::WallMicros WallNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long ticks = static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return ticks > kUnixEpochInFileTime ? (ticks - kUnixEpochInFileTime) / 10 : 0;
}

bool DeliveringTeachers()
{
    LONG slot = InterlockedCompareExchange(&g_teacherSlot, -1, -1);
    return slot != -1 && TlsGetValue(static_cast<DWORD>(slot)) != nullptr;
}

void SetDeliveringTeachers(bool teachers)
{
    if (!teachers && InterlockedCompareExchange(&g_teacherSlot, -1, -1) == -1)
        return;  // nothing to clear: no process without the teacher's key makes the slot
    DWORD slot = TeacherSlot();
    if (slot != TLS_OUT_OF_INDEXES)
        TlsSetValue(slot, teachers ? reinterpret_cast<void *>(1) : nullptr);
}

SocketAuth::SocketAuth(bool bulk) : m_sealer(NewSenderId(), bulk)
{
    InitializeCriticalSection(&m_lock);
    uint8_t probe;
    m_bValid = auth::RandomBytes(&probe, 1);
}

SocketAuth::~SocketAuth()
{
    DeleteCriticalSection(&m_lock);
}

size_t SocketAuth::Seal(const auth::Settings &settings, const void *pData, DWORD dwLength, int nPort)
{
    if (!m_bValid || dwLength > kLargestDatagram || IsBadReadPtr(pData, dwLength))
        return 0;
    if (m_buffer.empty()) {
        try {
            m_buffer.resize(kLargestDatagram);
        } catch (const std::bad_alloc &) {
            return 0;
        }
    }
    if (dwLength != 0)
        memcpy(m_buffer.data(), pData, dwLength);
    auth::SealedId sealed;
    size_t size = m_sealer.Seal(settings, m_buffer.data(), dwLength, m_buffer.size(),
                                static_cast<uint16_t>(nPort), WallNow(), &sealed);
    if (size != 0)
        m_lastSealed = sealed;
    return size;
}

auth::SealedId SocketAuth::LastSealed()
{
    EnterCriticalSection(&m_lock);
    auth::SealedId last = m_lastSealed;
    LeaveCriticalSection(&m_lock);
    return last;
}

void SocketAuth::ForgetLastSealed()
{
    EnterCriticalSection(&m_lock);
    m_lastSealed = auth::SealedId();
    LeaveCriticalSection(&m_lock);
}

}  // namespace winauth
