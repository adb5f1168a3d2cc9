// Every kind of listener of the library behind one face, for the tests of
// what each must do alike: CKesListen, the process-wide listener of
// KesListen, CKesListen3, and the two stream listeners. Each listens on
// loopback on a port of its own. This table is the home of the contract of a
// callback held past the stop time-out, and of Release (and destruction) from
// inside the callback.
#ifndef KESNET_LISTENER_KINDS_H
#define KESNET_LISTENER_KINDS_H

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace kt {

// One started listener, as its host holds it.
class RunningListener {
public:
    virtual ~RunningListener() = default;
    // Sends one datagram, or connects a client that sends one block, that the
    // listener's first receive thread serves.
    virtual bool Feed(const std::string &bytes) = 0;
    // A duplicate of the handle of that thread, taken at the start; the
    // caller closes it.
    virtual HANDLE FirstThread() = 0;
    // The same for the thread of the second interface, which nothing feeds;
    // null for the kinds with one thread.
    virtual HANDLE SiblingThread() { return nullptr; }
    virtual void Release() = 0;
    // What the host does after Release: it destroys the object and frees its
    // memory, which then holds other data. Nothing for the process-wide
    // listener, which the host does not own.
    virtual void Destroy() = 0;
    // The memory the object was in still holds only that other data: nothing
    // of the library wrote to it after Destroy.
    virtual bool MemoryUntouched() const = 0;
    // Nothing listens on the listener's port any more.
    virtual bool Closed() = 0;
};

struct ListenerKind {
    const char *name;
    bool stream;
    // Release waits a fixed time for a thread held in the callback (CTcpListen:
    // 1000 ms), whatever dwStopTimeout says.
    bool fixedStopWait;
    // It listens on two interfaces, and the thread of the second, idle one
    // (SiblingThread) must end on Release while the first is still held.
    bool idleSibling;
    // Starts a listener of this kind with the callback and its user data, and
    // the stop time-out where the kind takes one. Null if it did not start.
    // The datagram listener on one interface answers with an echo, so that
    // its echo sender is part of what a late thread must leave alone.
    std::unique_ptr<RunningListener> (*start)(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout);
};

const std::vector<ListenerKind> &ListenerKinds();

}  // namespace kt

#endif
