#include "datagram/receive_wait.h"

#include "common/receive_thread.h"

WaitResult WaitForDatagram(tagThreadParam *pThread, ReadySignal ready)
{
    WSAEVENT events[2] = {pThread->StopEvent(), ready};  // stop first: a stop request wins
    DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
    if (r == WSA_WAIT_EVENT_0)
        return kStop;
    if (r == WSA_WAIT_EVENT_0 + 1)
        return kNetwork;
    // A failed wait is repeated, unless a stop is pending: once the owner has
    // closed the socket's event the wait can only fail.
    return pThread->StopRequested() ? kStop : kRetry;
}
