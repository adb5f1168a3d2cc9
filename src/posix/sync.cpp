#include "common/sync.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

const DWORD kInfinite = 0xFFFFFFFF;

// What a HANDLE of CreateAutoEvent points to.
struct AutoEvent {
    std::mutex lock;
    std::condition_variable changed;
    bool bSignalled = false;
};

AutoEvent *EventOf(HANDLE hEvent)
{
    return static_cast<AutoEvent *>(hEvent);
}

// The lock lives in the exported class's CRITICAL_SECTION field, which has
// the size of Windows' own.
static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "a mutex fits a CRITICAL_SECTION");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "and is aligned as one");

pthread_mutex_t *MutexOf(CRITICAL_SECTION *pLock)
{
    return reinterpret_cast<pthread_mutex_t *>(pLock);
}

}  // namespace

namespace os {

HANDLE CreateAutoEvent()
{
    return new (std::nothrow) AutoEvent;
}

void SignalEvent(HANDLE hEvent)
{
    AutoEvent *event = EventOf(hEvent);
    std::lock_guard<std::mutex> hold(event->lock);
    event->bSignalled = true;
    event->changed.notify_one();
}

void ResetAutoEvent(HANDLE hEvent)
{
    AutoEvent *event = EventOf(hEvent);
    std::lock_guard<std::mutex> hold(event->lock);
    event->bSignalled = false;
}

bool WaitEvent(HANDLE hEvent, DWORD dwMilliseconds)
{
    AutoEvent *event = EventOf(hEvent);
    std::unique_lock<std::mutex> hold(event->lock);
    auto signalled = [event] { return event->bSignalled; };
    if (dwMilliseconds == kInfinite)
        event->changed.wait(hold, signalled);
    else if (!event->changed.wait_for(hold, std::chrono::milliseconds(dwMilliseconds), signalled))
        return false;
    event->bSignalled = false;
    return true;
}

void CloseAutoEvent(HANDLE hEvent)
{
    delete EventOf(hEvent);
}

// Recursive, as a critical section is.
void InitLock(CRITICAL_SECTION *pLock)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(pLock), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void TakeLock(CRITICAL_SECTION *pLock)
{
    pthread_mutex_lock(MutexOf(pLock));
}

void DropLock(CRITICAL_SECTION *pLock)
{
    pthread_mutex_unlock(MutexOf(pLock));
}

void DeleteLock(CRITICAL_SECTION *pLock)
{
    pthread_mutex_destroy(MutexOf(pLock));
}

void StoreShared(volatile DWORD *pValue, DWORD dwValue)
{
    __atomic_store_n(pValue, dwValue, __ATOMIC_SEQ_CST);
}

DWORD LoadShared(const volatile DWORD *pValue)
{
    return __atomic_load_n(pValue, __ATOMIC_SEQ_CST);
}

}  // namespace os
