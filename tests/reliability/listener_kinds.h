// Every kind of listener of the library behind one face, for the tests that
// do the same to each: CKesListen, the process-wide listener of KesListen,
// CKesListen3, and the two stream listeners. Each listens on loopback on a
// port of its own.
#ifndef KESNET_RELIABILITY_LISTENER_KINDS_H
#define KESNET_RELIABILITY_LISTENER_KINDS_H

#include <memory>
#include <string>
#include <vector>

#include "input_support.h"

namespace kr {

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
    virtual void Release() = 0;
    // What the host does after Release: it destroys the object and frees its
    // memory, which then holds other data (a pattern, here). Nothing for the
    // process-wide listener, which the host does not own.
    virtual void Destroy() = 0;
    // The memory the object was in still holds only that pattern: nothing of
    // the library wrote to it after Destroy.
    virtual bool MemoryUntouched() const = 0;
    // Nothing listens on the listener's port any more.
    virtual bool Closed() = 0;
};

struct ListenerKind {
    const char *name;
    bool stream;
    // Starts a listener of this kind with the callback and its user data, and
    // the stop time-out where the kind takes one. Null if it did not start.
    std::unique_ptr<RunningListener> (*start)(ReceiveProc proc, void *pUserData, DWORD dwStopTimeout);
};

const std::vector<ListenerKind> &ListenerKinds();

}  // namespace kr

#endif
