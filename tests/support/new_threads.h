// The threads that start in this process while a NewThreads exists, each
// held by a handle of its own, so that threads that a call starts and stops
// again before it returns are seen too.
#ifndef KESNET_NEW_THREADS_H
#define KESNET_NEW_THREADS_H

#include <vector>

#include "test_support.h"

namespace kt {

// Windows runs a program's TLS callbacks on every new thread before its entry
// point: the one of this file notes the thread. One NewThreads at a time.
class NewThreads {
public:
    NewThreads();
    ~NewThreads();
    NewThreads(const NewThreads &) = delete;
    NewThreads &operator=(const NewThreads &) = delete;

    // The threads that have run so far. A thread made by a call that has
    // returned may not have run yet: wait for it with OnlyOne or OneEnded.
    size_t Count();
    // Waits (bounded) until every thread that has run so far has ended.
    bool AllEnded(DWORD ms = Bound());
    // Waits (bounded) until a thread has run, then until one has ended.
    bool OneEnded(DWORD ms = Bound());
    // Waits (bounded) until a thread has run; a new handle of it (the caller
    // closes it), or null if none ran or several did.
    HANDLE OnlyOne(DWORD ms = Bound());

    static void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID);

private:
    std::vector<HANDLE> Started();
    bool WaitForAStart(DWORD ms);

    HANDLE m_started;  // set once a thread has run
    std::vector<HANDLE> m_threads;
};

}  // namespace kt

#endif
