// The few thread primitives that the shared datagram code uses directly (the
// receive threads have their own, common/receive_thread.h): an auto-reset
// event with a bounded wait, the lock that lives in an exported class's
// CRITICAL_SECTION field, and 32-bit values shared between threads without a
// lock. Each platform gives them from its own file (src/win/sync.cpp,
// src/posix/sync.cpp).
#ifndef KESNET_COMMON_SYNC_H
#define KESNET_COMMON_SYNC_H

#include "kesnet.h"  // DWORD, HANDLE, CRITICAL_SECTION

namespace os {

// An event that one waiter consumes: null if none could be made.
HANDLE CreateAutoEvent();
void SignalEvent(HANDLE hEvent);
void ResetAutoEvent(HANDLE hEvent);
// True when the event was signalled within dwMilliseconds (0xFFFFFFFF: no
// limit); the wait consumes the signal.
bool WaitEvent(HANDLE hEvent, DWORD dwMilliseconds);
void CloseAutoEvent(HANDLE hEvent);

// A lock that may be taken again by the thread that holds it.
void InitLock(CRITICAL_SECTION *pLock);
void TakeLock(CRITICAL_SECTION *pLock);
void DropLock(CRITICAL_SECTION *pLock);
void DeleteLock(CRITICAL_SECTION *pLock);

// A store that no load of another thread sees half done, and that orders
// every access of the storing thread before it after it.
void StoreShared(volatile DWORD *pValue, DWORD dwValue);
DWORD LoadShared(const volatile DWORD *pValue);

}  // namespace os

#endif
