// The Windows part of a receive thread's block (common/receive_thread.h): a
// thread handle, a duplicate of the owner's stop event, a critical section,
// and a hold on the module.
#ifndef KESNET_WIN_RECEIVE_THREAD_OS_H
#define KESNET_WIN_RECEIVE_THREAD_OS_H

#include <windows.h>

#define KESNET_THREAD_OS_PUBLIC                                    \
    HANDLE ThreadHandle() const { return m_hThread; }              \
    HANDLE StopEvent() const { return m_hStop; }                   \
    bool StopRequested() const { return m_lStopRequested != 0; }

#define KESNET_THREAD_OS_PRIVATE                                   \
    static unsigned long __stdcall ThreadEntry(void *pParam);      \
    /* Gives back the block of a thread that never ran, and its hold on the module. */ \
    void DiscardUnstarted();                                       \
    Entry m_entry;                                                 \
    HANDLE m_hThread;                                              \
    DWORD m_dwThreadId;                                            \
    HANDLE m_hStop;                                                \
    HMODULE m_hModule; /* keeps our code mapped while the thread runs */ \
    CRITICAL_SECTION m_lock;                                       \
    bool m_bAbandoned;                                             \
    volatile LONG m_lStopRequested;                                \
    LONG m_nRefs;

#endif
