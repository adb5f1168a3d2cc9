// Starting and stopping the receive threads of every listener.
//
// A receive thread spends its life in three places: waiting on its events,
// doing a short piece of library work (reading a datagram or a stream block,
// accepting a client, sending an echo), and running the host's callback.
// Release waits for it only a bounded time, so a thread may still be inside a
// slow callback when its owner closes the sockets and the host frees the
// owner. To make that safe:
//   - the library work runs inside Enter()/Leave(), and a thread that the
//     owner gave up on ("abandoned") never gets in again;
//   - the thread waits on a stop signal of its own (a duplicate of the
//     owner's stop event on Windows, an eventfd of this block on Linux),
//     which stays valid after the owner has closed its sockets and events;
//   - this block is shared by the owner and the thread and freed by whichever
//     lets go last.
// So once Stop() returns, the thread touches nothing of its owner: when it
// comes back from the callback it finds the stop event set and ends.
//
// The entry given to Start is called with this block. The listeners' thread
// bodies (ThreadProc) take no block, or only their slot's index, as the
// exported classes declare them; they ask for the block of the thread they run
// on with Running().
#ifndef KESNET_COMMON_RECEIVE_THREAD_H
#define KESNET_COMMON_RECEIVE_THREAD_H

#include "kesnet.h"  // DWORD, HANDLE

// The platform's part of the block (src/win/ or src/posix/, by the build's
// include path): ThreadHandle(), StopRequested(), the members and helpers.
#include "receive_thread_os.h"

struct tagThreadParam {
    typedef unsigned long(__stdcall *Entry)(void *pParam);

    int nIndex;   // the address slot the thread serves (0 for one-address listeners)
    void *pThis;  // the owning listener

    // Creates the thread suspended on entry(block), resumes it, then gives it
    // nPriority. hStopEvent is the owner's stop event where the platform has
    // one (Windows); the thread waits on a duplicate of it, or on a stop
    // signal of the block's own. On any failure nothing is left running or
    // open and the result is null; a thread that already runs when its
    // priority is refused is stopped as Stop(dwStopTimeout) would.
    static tagThreadParam *Start(Entry entry, void *pOwner, int nIndex, HANDLE hStopEvent,
                                 int nPriority, DWORD dwStopTimeout);

    // Owner side: signals the stop event, waits for the thread at most dwTimeout
    // (not at all when called from the thread itself, inside its callback), and
    // if it is still running takes away its access to the owner. Closes the thread
    // handle and gives up the owner's share of this block, which must not be used
    // afterwards.
    void Stop(DWORD dwTimeout);

    // Thread side.
    // The block of the calling thread, when Start made that thread for pOwner's
    // slot nIndex; null on any other thread.
    static tagThreadParam *Running(const void *pOwner, int nIndex);
    // Before touching anything of the owner. false: the owner has gone; end now.
    bool Enter();
    void Leave();

    // ThreadHandle(): a handle of the thread, never null while it is held.
    // StopRequested(): true once Stop() has been called; a plain memory read,
    // so that a loop may ask between any two pieces of work without a system
    // call.
    KESNET_THREAD_OS_PUBLIC

private:
    void Unref();
    KESNET_THREAD_OS_PRIVATE
};

#endif
