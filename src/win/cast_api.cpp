// The multicast transfers' exported calls (KesCast...): the handles, and the
// one thread of each that drives its role over the group's socket.
//
// A handle is shared by the host's calls and its thread, and counted: a call
// holds it for its length, so that KesCastClose on one thread never frees it
// under a call on another. The thread takes the handle's lock for each piece
// of work (reading what came, running the state machine, sending) inside
// Enter/Leave of its thread block, and calls the host outside both, with
// events that hold their own bytes: once Close has stopped it, it touches
// nothing of the handle.
#include "kesnet.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "common/host_pointers.h"
#include "cast/cast_wire.h"
#include "common/receive_thread.h"
#include "datagram/open_socket.h"
#include "datagram/udp_socket.h"
#include "win/auth_process.h"
#include "win/cast_platform.h"
#include "win/cast_roles.h"

struct tagKesCast {
    int nRole = 0;
    KesCastEventProc pfnEvent = nullptr;
    void *pUserData = nullptr;
    DWORD dwGroup = 0;
    int nPort = 0;
    CUdpSocket *socket = nullptr;
    HANDLE hStop = nullptr;      // the thread's stop event (it waits on a duplicate)
    HANDLE hPoke = nullptr;      // a host call gave the thread work
    HANDLE hFinished = nullptr;  // the object under way finished, or the handle closes
    CRITICAL_SECTION lock;
    std::unique_ptr<wincast::CastRole> role;
    tagThreadParam *thread = nullptr;
    volatile LONG nRefs = 1;  // the table's, and one for each call under way
};

namespace {

const DWORD kMaxExpected = 4096;
const DWORD kStopTimeoutMs = 10000;
const int kLargestDatagram = 65536;
const int kDrainAtOnce = 256;            // datagrams read before the machine runs again
const cast::Micros kLongestWait = 100000;

SRWLOCK g_tableLock = SRWLOCK_INIT;
std::vector<tagKesCast *> g_open;

// A handle of the table, held for a call; null for anything else.
tagKesCast *Hold(HKESCAST h)
{
    AcquireSRWLockShared(&g_tableLock);
    tagKesCast *found = nullptr;
    for (tagKesCast *cast : g_open) {
        if (cast == h) {
            InterlockedIncrement(&cast->nRefs);
            found = cast;
        }
    }
    ReleaseSRWLockShared(&g_tableLock);
    return found;
}

bool IsOpen(HKESCAST h)
{
    AcquireSRWLockShared(&g_tableLock);
    bool open = std::find(g_open.begin(), g_open.end(), h) != g_open.end();
    ReleaseSRWLockShared(&g_tableLock);
    return open;
}

void Free(tagKesCast *cast)
{
    cast->role.reset();  // an unfinished object's file goes with it
    CloseDatagramSocket(cast->socket);
    if (cast->hStop != nullptr)
        CloseHandle(cast->hStop);
    if (cast->hPoke != nullptr)
        CloseHandle(cast->hPoke);
    if (cast->hFinished != nullptr)
        CloseHandle(cast->hFinished);
    DeleteCriticalSection(&cast->lock);
    delete cast;
}

void Let(tagKesCast *cast)
{
    if (InterlockedDecrement(&cast->nRefs) == 0)
        Free(cast);
}

// Holds a handle for the length of a call.
class Held {
public:
    explicit Held(HKESCAST h) : m_cast(Hold(h)) {}
    ~Held()
    {
        if (m_cast != nullptr)
            Let(m_cast);
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    tagKesCast *operator->() const { return m_cast; }
    explicit operator bool() const { return m_cast != nullptr; }
    tagKesCast *get() const { return m_cast; }

private:
    tagKesCast *m_cast;
};

class Locked {
public:
    explicit Locked(tagKesCast *cast) : m_lock(&cast->lock) { EnterCriticalSection(m_lock); }
    ~Locked() { LeaveCriticalSection(m_lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    CRITICAL_SECTION *m_lock;
};

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Sessions differ from one start to the next and from one process to another.
uint64_t FreshRandom()
{
    static volatile LONG s_count;
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return Mix(static_cast<uint64_t>(count.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
               (static_cast<uint64_t>(InterlockedIncrement(&s_count)) << 48) ^ GetTickCount());
}

void SendAll(tagKesCast *cast, const std::vector<cast::Outgoing> &packets)
{
    for (const cast::Outgoing &packet : packets)
        wincast::SendToGroup(cast->socket, cast->dwGroup, cast->nPort, packet.bytes);
}

// One round of the thread's work, under the lock: what came, then what is
// due. Returns when the machine next wants to run.
cast::Micros Step(tagKesCast *cast, std::vector<uint8_t> &buffer, std::vector<wincast::CastEvent> *events,
                  bool *more)
{
    Locked locked(cast);
    WSAResetEvent(cast->socket->m_hNetEvent);  // every receive below re-arms it
    *more = false;
    for (int i = 0; i < kDrainAtOnce; ++i) {
        int length = kLargestDatagram;
        DWORD from = 0;
        int fromPort = 0;
        CUdpSocket::Origin origin;
        CUdpSocket::Received received =
            cast->socket->ReceiveAuthentic(buffer.data(), &length, &from, &fromPort, &origin);
        if (received == CUdpSocket::kNothing)
            break;
        if (received == CUdpSocket::kRefused)
            continue;
        cast->role->OnPacket(buffer.data(), static_cast<size_t>(length), wincast::Now());
        SendAll(cast, cast->role->TakeOutgoing());
        *more = i == kDrainAtOnce - 1;
    }
    cast->role->Poll(wincast::Now());
    SendAll(cast, cast->role->TakeOutgoing());
    cast->role->TakeEvents(events);
    const int state = cast->role->SenderState();
    if (state == KES_CAST_STATE_DONE || state == KES_CAST_STATE_FAILED)
        SetEvent(cast->hFinished);
    return cast->role->NextWakeUp();
}

void Deliver(KesCastEventProc proc, void *user, const wincast::CastEvent &e)
{
    KES_CAST_EVENT record = {};
    record.dwSize = sizeof record;
    record.nEvent = e.kind;
    record.dwReceiver = e.receiver;
    record.dwObject = e.object;
    record.dwSizeLow = static_cast<DWORD>(e.size);
    record.dwSizeHigh = static_cast<DWORD>(e.size >> 32);
    record.dwDoneLow = static_cast<DWORD>(e.done);
    record.dwDoneHigh = static_cast<DWORD>(e.done >> 32);
    record.pData = e.data.empty() ? nullptr : e.data.data();
    record.pszName = e.name.c_str();
    record.pszWhy = e.why.c_str();
    // KesAuthFromTeacher, inside the callback, tells the teacher's objects.
    winauth::SetDeliveringTeachers(e.teachers);
    proc(&record, user);
    winauth::SetDeliveringTeachers(false);
}

DWORD WaitMs(cast::Micros wake, bool more)
{
    if (more)
        return 0;
    const cast::Micros now = wincast::Now();
    cast::Micros wait = wake == cast::kNever ? kLongestWait : wake > now ? wake - now : 0;
    if (wait > kLongestWait)
        wait = kLongestWait;
    return static_cast<DWORD>(wait / 1000);
}

unsigned long __stdcall RunCast(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    tagKesCast *cast = static_cast<tagKesCast *>(thread->pThis);
    std::vector<uint8_t> buffer(kLargestDatagram);
    std::vector<wincast::CastEvent> events;
    // Copies: the thread must not read the handle once it has been closed.
    const KesCastEventProc proc = cast->pfnEvent;
    void *const user = cast->pUserData;
    WSAEVENT waits[3] = {thread->StopEvent(), cast->socket->m_hNetEvent, cast->hPoke};
    for (;;) {
        if (!thread->Enter())
            return 0;
        bool more = false;
        events.clear();
        const cast::Micros wake = Step(cast, buffer, &events, &more);
        thread->Leave();
        for (const wincast::CastEvent &e : events) {
            if (thread->StopRequested())
                return 0;
            if (proc != nullptr)
                Deliver(proc, user, e);
        }
        DWORD r = WSAWaitForMultipleEvents(3, waits, FALSE, WaitMs(wake, more), FALSE);
        // Stop first; a failed wait means the handle's events are gone.
        if (r == WSA_WAIT_EVENT_0 || (r == WSA_WAIT_FAILED && thread->StopRequested()))
            return 0;
    }
}

bool ValidParam(int nRole, const KES_CAST_PARAM *p)
{
    if (nRole < KES_CAST_SENDER || nRole > KES_CAST_STREAM_RECEIVER)
        return false;
    if (p == nullptr || IsBadReadPtr(p, sizeof(DWORD)) || p->dwSize != sizeof(KES_CAST_PARAM) ||
        IsBadReadPtr(p, sizeof *p))
        return false;
    const DWORD group = ntohl(p->dwGroupAddr);
    if ((group >> 28) != 0xE || p->nPort < 1 || p->nPort > 65535)
        return false;
    if (p->dwExpected > kMaxExpected ||
        (p->dwExpected != 0 && (p->pdwExpected == nullptr || IsBadReadPtr(p->pdwExpected, p->dwExpected * sizeof(DWORD)))))
        return false;
    if (p->pfnEvent != nullptr && !IsCallable(reinterpret_cast<const void *>(p->pfnEvent)))
        return false;
    return IsReadableText(p->pszFolder);
}

bool FolderExists(const char *folder)
{
    DWORD attributes = GetFileAttributesA(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The last element of a path: the name the receivers give the file.
std::string BaseName(const char *path)
{
    std::string p(path);
    size_t cut = p.find_last_of("\\/:");
    return cut == std::string::npos ? p : p.substr(cut + 1);
}

int StartObject(tagKesCast *cast, std::unique_ptr<cast::Source> source, uint64_t size, const std::string &name)
{
    Locked locked(cast);
    int result = cast->role->SendObject(std::move(source), size, name, wincast::Now());
    if (result == KES_CAST_OK) {
        ResetEvent(cast->hFinished);
        SetEvent(cast->hPoke);
    }
    return result;
}

}  // namespace

extern "C" int __cdecl KesCastOpen(int nRole, const KES_CAST_PARAM *pParam, HKESCAST *phCast)
{
    if (phCast == nullptr || IsBadWritePtr(phCast, sizeof *phCast))
        return KES_CAST_E_ARGUMENT;
    *phCast = nullptr;
    if (!ValidParam(nRole, pParam))
        return KES_CAST_E_ARGUMENT;
    if (nRole == KES_CAST_RECEIVER && pParam->pszFolder != nullptr && !FolderExists(pParam->pszFolder))
        return KES_CAST_E_FILE;
    tagKesCast *cast = new (std::nothrow) tagKesCast;
    if (cast == nullptr)
        return KES_CAST_E_MEMORY;
    InitializeCriticalSection(&cast->lock);
    cast->nRole = nRole;
    cast->pfnEvent = pParam->pfnEvent;
    cast->pUserData = pParam->pUserData;
    cast->dwGroup = pParam->dwGroupAddr;
    cast->nPort = pParam->nPort;
    cast->hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    cast->hPoke = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    cast->hFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const uint64_t random = FreshRandom();
    try {
        cast->role = wincast::MakeRole(nRole, *pParam, static_cast<uint32_t>(random) | 1, random);
    } catch (const std::bad_alloc &) {
    }
    if (cast->hStop == nullptr || cast->hPoke == nullptr || cast->hFinished == nullptr || !cast->role) {
        Free(cast);
        return KES_CAST_E_MEMORY;
    }
    const bool sender = nRole == KES_CAST_SENDER || nRole == KES_CAST_STREAM_SENDER;
    cast->socket = wincast::OpenGroupSocket(pParam->dwGroupAddr, pParam->nPort, pParam->dwLocalAddr, !sender);
    if (cast->socket == nullptr) {
        const int error = WSAGetLastError();
        Free(cast);
        WSASetLastError(error);
        return KES_CAST_E_NETWORK;
    }
    cast->thread = tagThreadParam::Start(RunCast, cast, 0, cast->hStop, THREAD_PRIORITY_NORMAL, kStopTimeoutMs);
    if (cast->thread == nullptr) {
        Free(cast);
        return KES_CAST_E_MEMORY;
    }
    AcquireSRWLockExclusive(&g_tableLock);
    bool listed = true;
    try {
        g_open.push_back(cast);
    } catch (const std::bad_alloc &) {
        listed = false;
    }
    ReleaseSRWLockExclusive(&g_tableLock);
    if (!listed) {
        cast->thread->Stop(kStopTimeoutMs);
        Free(cast);
        return KES_CAST_E_MEMORY;
    }
    *phCast = cast;
    return KES_CAST_OK;
}

extern "C" int __cdecl KesCastSendFile(HKESCAST hCast, const char *pszPath)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (cast->nRole != KES_CAST_SENDER)
        return KES_CAST_E_ROLE;
    if (pszPath == nullptr || !IsReadableText(pszPath))
        return KES_CAST_E_ARGUMENT;
    std::unique_ptr<wincast::FileSource> file(new (std::nothrow) wincast::FileSource(pszPath));
    if (!file)
        return KES_CAST_E_MEMORY;
    if (!file->Open())
        return KES_CAST_E_FILE;
    const uint64_t size = file->Size();
    return StartObject(cast.get(), std::move(file), size, BaseName(pszPath));
}

extern "C" int __cdecl KesCastSendBuffer(HKESCAST hCast, const void *pData, size_t nLength, const char *pszName)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (cast->nRole != KES_CAST_SENDER)
        return KES_CAST_E_ROLE;
    if (!IsReadableText(pszName) || (pszName != nullptr && !cast::ValidName(pszName)))
        return KES_CAST_E_ARGUMENT;
    if (nLength == 0)
        return KES_CAST_E_SIZE;
    if (pData == nullptr || IsBadReadPtr(pData, nLength))
        return KES_CAST_E_ARGUMENT;
    std::unique_ptr<cast::Source> bytes(new (std::nothrow) wincast::BufferSource(pData, nLength));
    if (!bytes)
        return KES_CAST_E_MEMORY;
    return StartObject(cast.get(), std::move(bytes), nLength, pszName != nullptr ? pszName : "");
}

extern "C" int __cdecl KesCastWait(HKESCAST hCast, DWORD dwMilliseconds)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (cast->nRole != KES_CAST_SENDER)
        return KES_CAST_E_ROLE;
    // The handle's own thread finishes the object: it cannot wait for itself.
    if (tagThreadParam::Running(cast.get(), 0) != nullptr)
        return KES_CAST_E_ARGUMENT;
    WaitForSingleObject(cast->hFinished, dwMilliseconds);
    if (!IsOpen(hCast))
        return KES_CAST_E_HANDLE;  // closed meanwhile
    Locked locked(cast.get());
    switch (cast->role->SenderState()) {
    case KES_CAST_STATE_RUNNING:
        return KES_CAST_E_TIMEOUT;
    case KES_CAST_STATE_FAILED:
        return KES_CAST_E_FAILED;
    default:
        return KES_CAST_OK;
    }
}

extern "C" int __cdecl KesCastSendMessage(HKESCAST hCast, const void *pData, DWORD dwLength)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (cast->nRole != KES_CAST_STREAM_SENDER)
        return KES_CAST_E_ROLE;
    if (dwLength == 0)
        return KES_CAST_E_SIZE;
    if (pData == nullptr || IsBadReadPtr(pData, dwLength))
        return KES_CAST_E_ARGUMENT;
    Locked locked(cast.get());
    int result = cast->role->SendMessage(static_cast<const uint8_t *>(pData), dwLength, wincast::Now());
    if (result == KES_CAST_OK)
        SetEvent(cast->hPoke);
    return result;
}

extern "C" int __cdecl KesCastGetStatus(HKESCAST hCast, KES_CAST_STATUS *pStatus)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (pStatus == nullptr || IsBadWritePtr(pStatus, sizeof(DWORD)) || pStatus->dwSize != sizeof *pStatus ||
        IsBadWritePtr(pStatus, sizeof *pStatus))
        return KES_CAST_E_ARGUMENT;
    Locked locked(cast.get());
    cast->role->Status(pStatus);
    return KES_CAST_OK;
}

extern "C" int __cdecl KesCastGetReceivers(HKESCAST hCast, KES_CAST_RECEIVER_INFO *pList, DWORD dwMax, DWORD *pdwCount)
{
    Held cast(hCast);
    if (!cast)
        return KES_CAST_E_HANDLE;
    if (cast->nRole != KES_CAST_SENDER)
        return KES_CAST_E_ROLE;
    if (pdwCount == nullptr || IsBadWritePtr(pdwCount, sizeof *pdwCount) ||
        (dwMax != 0 && (pList == nullptr || dwMax > 0x7FFFFFFFu / sizeof *pList ||
                        IsBadWritePtr(pList, dwMax * sizeof *pList))))
        return KES_CAST_E_ARGUMENT;
    Locked locked(cast.get());
    return cast->role->Receivers(pList, dwMax, pdwCount, wincast::Now());
}

extern "C" int __cdecl KesCastClose(HKESCAST hCast)
{
    AcquireSRWLockExclusive(&g_tableLock);
    tagKesCast *cast = nullptr;
    for (size_t i = 0; i < g_open.size(); ++i) {
        if (g_open[i] == hCast) {
            cast = g_open[i];
            g_open.erase(g_open.begin() + static_cast<ptrdiff_t>(i));
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_tableLock);
    if (cast == nullptr)
        return KES_CAST_E_HANDLE;
    SetEvent(cast->hFinished);  // a KesCastWait under way returns
    cast->thread->Stop(kStopTimeoutMs);
    cast->thread = nullptr;
    Let(cast);  // the table's hold; calls under way keep it until they return
    return KES_CAST_OK;
}

extern "C" const char *__cdecl KesCastErrorText(int nResult)
{
    switch (nResult) {
    case KES_CAST_OK:
        return "done";
    case KES_CAST_E_ARGUMENT:
        return "an argument is null, out of range or unreadable, or a record's dwSize is not its size";
    case KES_CAST_E_HANDLE:
        return "not an open cast handle";
    case KES_CAST_E_ROLE:
        return "not a call of this handle's role";
    case KES_CAST_E_BUSY:
        return "busy: an object is still under way, or the stream's queue is full";
    case KES_CAST_E_NETWORK:
        return "the group's socket could not be set up (see WSAGetLastError)";
    case KES_CAST_E_FILE:
        return "the file cannot be read, or the folder does not exist";
    case KES_CAST_E_SIZE:
        return "empty, or larger than the most that can be sent";
    case KES_CAST_E_TIMEOUT:
        return "not finished in time";
    case KES_CAST_E_MEMORY:
        return "out of memory or threads";
    case KES_CAST_E_FAILED:
        return "finished without every receiver, or a message the teacher's key could not sign";
    default:
        return "not a result of the cast calls";
    }
}
