// KesCreateObject: the factory of the stream objects. The host reaches them
// only through their virtual operations and destroys them through their
// destructor slot, so their memory goes back to the heap that gave it. Their
// operator new returns null when there is no memory.
#include "kesnet.h"

#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream/tcp_send.h"

extern "C" void *__cdecl KesCreateObject(int nType)
{
    // Each object is converted to the interface the host will cast the
    // result to, so that the pointer the host holds is that interface's.
    switch (nType) {
    case KES_OBJECT_TCPLISTEN:
        return static_cast<CTcpListenObject *>(new CTcpListen);
    case KES_OBJECT_TCPSEND:
        return static_cast<CTcpSendObject *>(new CTcpSend);
    case KES_OBJECT_TCPLISTEN3:
        return static_cast<CTcpListen3Object *>(new CTcpListen3);
    default:
        return nullptr;
    }
}
