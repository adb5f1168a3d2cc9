// The POSIX part of a receive thread's block (common/receive_thread.h): a
// detached POSIX thread, an eventfd of the block's own as its stop signal, and
// the lock and condition under which the owner learns that the thread ended.
#ifndef KESNET_POSIX_RECEIVE_THREAD_OS_H
#define KESNET_POSIX_RECEIVE_THREAD_OS_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// The block itself stands for the thread: nothing outside the library does
// anything with a listener's thread handle but test it for null.
#define KESNET_THREAD_OS_PUBLIC                                                        \
    HANDLE ThreadHandle() const { return const_cast<tagThreadParam *>(this); }         \
    bool StopRequested() const { return m_bStopRequested.load(std::memory_order_acquire); } \
    /* Readable from the first Stop() on, and for as long as the thread holds the block. */ \
    int StopFd() const { return m_nStopFd; }

#define KESNET_THREAD_OS_PRIVATE                 \
    static void *ThreadEntry(void *pParam);      \
    Entry m_entry;                               \
    int m_nStopFd;                               \
    std::mutex m_lock;                           \
    std::condition_variable m_ended;             \
    bool m_bEnded;                               \
    bool m_bAbandoned;                           \
    std::atomic<bool> m_bStopRequested;          \
    std::atomic<int> m_nRefs;

#endif
