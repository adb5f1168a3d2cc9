#include "new_threads.h"

namespace kt {

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
NewThreads *g_current = nullptr;

}  // namespace

NewThreads::NewThreads() : m_started(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    AcquireSRWLockExclusive(&g_lock);
    g_current = this;
    ReleaseSRWLockExclusive(&g_lock);
}

NewThreads::~NewThreads()
{
    AcquireSRWLockExclusive(&g_lock);
    g_current = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    for (HANDLE h : m_threads)
        CloseHandle(h);
    CloseHandle(m_started);
}

void NTAPI NewThreads::OnThreadEvent(PVOID, DWORD reason, PVOID)
{
    if (reason != DLL_THREAD_ATTACH)
        return;
    AcquireSRWLockExclusive(&g_lock);
    HANDLE h = nullptr;
    if (g_current != nullptr &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, SYNCHRONIZE, FALSE, 0)) {
        g_current->m_threads.push_back(h);
        SetEvent(g_current->m_started);
    }
    ReleaseSRWLockExclusive(&g_lock);
}

std::vector<HANDLE> NewThreads::Started()
{
    AcquireSRWLockExclusive(&g_lock);
    std::vector<HANDLE> copy = m_threads;
    ReleaseSRWLockExclusive(&g_lock);
    return copy;
}

size_t NewThreads::Count()
{
    return Started().size();
}

bool NewThreads::WaitForAStart(DWORD ms)
{
    return WaitForSingleObject(m_started, ms) == WAIT_OBJECT_0;
}

bool NewThreads::AllEnded(DWORD ms)
{
    for (HANDLE h : Started())
        if (WaitForSingleObject(h, ms) != WAIT_OBJECT_0)
            return false;
    return true;
}

bool NewThreads::OneEnded(DWORD ms)
{
    std::vector<HANDLE> started = Started();
    if (started.empty() && WaitForAStart(ms))
        started = Started();
    if (started.empty() || started.size() > MAXIMUM_WAIT_OBJECTS)
        return false;
    return WaitForMultipleObjects(static_cast<DWORD>(started.size()), started.data(), FALSE, ms) <
           WAIT_OBJECT_0 + started.size();
}

HANDLE NewThreads::OnlyOne(DWORD ms)
{
    if (!WaitForAStart(ms))
        return nullptr;
    std::vector<HANDLE> started = Started();
    return started.size() == 1 ? DuplicateThread(started[0]) : nullptr;
}

}  // namespace kt

extern "C" __attribute__((section(".CRT$XLK"), used)) const PIMAGE_TLS_CALLBACK kt_new_threads_callback =
    kt::NewThreads::OnThreadEvent;
