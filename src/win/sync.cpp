#include "common/sync.h"

namespace os {

HANDLE CreateAutoEvent()
{
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void SignalEvent(HANDLE hEvent)
{
    SetEvent(hEvent);
}

void ResetAutoEvent(HANDLE hEvent)
{
    ResetEvent(hEvent);
}

bool WaitEvent(HANDLE hEvent, DWORD dwMilliseconds)
{
    return WaitForSingleObject(hEvent, dwMilliseconds) == WAIT_OBJECT_0;
}

void CloseAutoEvent(HANDLE hEvent)
{
    CloseHandle(hEvent);
}

void InitLock(CRITICAL_SECTION *pLock)
{
    InitializeCriticalSection(pLock);
}

void TakeLock(CRITICAL_SECTION *pLock)
{
    EnterCriticalSection(pLock);
}

void DropLock(CRITICAL_SECTION *pLock)
{
    LeaveCriticalSection(pLock);
}

void DeleteLock(CRITICAL_SECTION *pLock)
{
    DeleteCriticalSection(pLock);
}

void StoreShared(volatile DWORD *pValue, DWORD dwValue)
{
    InterlockedExchange(reinterpret_cast<volatile LONG *>(pValue), static_cast<LONG>(dwValue));
}

// An aligned 32-bit load is whole on x86, and the compiler keeps a volatile
// one where it stands.
DWORD LoadShared(const volatile DWORD *pValue)
{
    return *pValue;
}

}  // namespace os
