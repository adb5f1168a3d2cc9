#include "common/receive_thread.h"

#include <new>

#include "kesnet.h"

namespace {

// Where each thread that Start made finds its own block: the system's thread
// slot, not thread_local, which this toolchain emulates by allocating memory
// for every thread through winpthread.
class RunningBlock {
public:
    RunningBlock() : m_dwSlot(TlsAlloc()) {}
    ~RunningBlock()
    {
        if (m_dwSlot != TLS_OUT_OF_INDEXES)
            TlsFree(m_dwSlot);
    }
    bool Usable() const { return m_dwSlot != TLS_OUT_OF_INDEXES; }
    void Set(tagThreadParam *pThread) { TlsSetValue(m_dwSlot, pThread); }
    tagThreadParam *Get() const
    {
        return Usable() ? static_cast<tagThreadParam *>(TlsGetValue(m_dwSlot)) : nullptr;
    }

private:
    DWORD m_dwSlot;
};

RunningBlock g_running;

}  // namespace

// The records' constructors clear every field: their thread priority is the
// normal one.
static_assert(THREAD_PRIORITY_NORMAL == 0, "a cleared record's thread priority is the normal one");

tagThreadParam *tagThreadParam::Start(Entry entry, void *pOwner, int nIndex, HANDLE hStopEvent,
                                      int nPriority, DWORD dwStopTimeout)
{
    if (!g_running.Usable())
        return nullptr;  // the thread could not find its block
    tagThreadParam *t = new (std::nothrow) tagThreadParam;
    if (t == nullptr)
        return nullptr;
    t->nIndex = nIndex;
    t->pThis = pOwner;
    t->m_entry = entry;
    t->m_hThread = nullptr;
    t->m_dwThreadId = 0;
    t->m_hModule = nullptr;
    t->m_bAbandoned = false;
    t->m_lStopRequested = 0;
    t->m_nRefs = 2;  // the owner's share and the thread's
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, hStopEvent, self, &t->m_hStop, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        delete t;
        return nullptr;
    }
    InitializeCriticalSection(&t->m_lock);

    // A host may unload the library while a thread is still inside its callback;
    // the thread holds a reference to the module so that it returns into mapped code.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&tagThreadParam::ThreadEntry), &t->m_hModule);

    t->m_hThread = CreateThread(nullptr, 0, ThreadEntry, t, CREATE_SUSPENDED, &t->m_dwThreadId);
    if (t->m_hThread == nullptr) {
        t->DiscardUnstarted();
        return nullptr;
    }
    if (ResumeThread(t->m_hThread) == static_cast<DWORD>(-1)) {
        // The thread never ran: ending it here is safe, and it frees nothing itself.
        TerminateThread(t->m_hThread, 0);
        WaitForSingleObject(t->m_hThread, INFINITE);
        CloseHandle(t->m_hThread);
        t->DiscardUnstarted();
        return nullptr;
    }
    if (!SetThreadPriority(t->m_hThread, nPriority)) {
        // The thread is already running: stop it as Release would, before the
        // caller closes anything it waits on.
        t->Stop(dwStopTimeout);
        return nullptr;
    }
    return t;
}

void tagThreadParam::Stop(DWORD dwTimeout)
{
    InterlockedExchange(&m_lStopRequested, 1);
    SetEvent(m_hStop);
    bool onOwnThread = GetCurrentThreadId() == m_dwThreadId;
    if (onOwnThread || WaitForSingleObject(m_hThread, dwTimeout) != WAIT_OBJECT_0) {
        // Still running (a slow callback, or we are that callback): once this
        // returns the thread gets no further access to its owner.
        EnterCriticalSection(&m_lock);
        m_bAbandoned = true;
        LeaveCriticalSection(&m_lock);
    }
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    Unref();
}

bool tagThreadParam::Enter()
{
    EnterCriticalSection(&m_lock);
    if (m_bAbandoned) {
        LeaveCriticalSection(&m_lock);
        return false;
    }
    return true;
}

void tagThreadParam::Leave()
{
    LeaveCriticalSection(&m_lock);
}

void tagThreadParam::DiscardUnstarted()
{
    if (m_hModule != nullptr)
        FreeLibrary(m_hModule);
    m_nRefs = 1;  // no thread shares the block
    Unref();
}

void tagThreadParam::Unref()
{
    if (InterlockedDecrement(&m_nRefs) != 0)
        return;
    DeleteCriticalSection(&m_lock);
    CloseHandle(m_hStop);
    delete this;
}

tagThreadParam *tagThreadParam::Running(const void *pOwner, int nIndex)
{
    tagThreadParam *t = g_running.Get();
    return t != nullptr && t->pThis == pOwner && t->nIndex == nIndex ? t : nullptr;
}

unsigned long __stdcall tagThreadParam::ThreadEntry(void *pParam)
{
    tagThreadParam *t = static_cast<tagThreadParam *>(pParam);
    g_running.Set(t);
    unsigned long result = t->m_entry(t);
    g_running.Set(nullptr);
    HMODULE module = t->m_hModule;
    t->Unref();
    if (module != nullptr)
        FreeLibraryAndExitThread(module, result);
    return result;
}
