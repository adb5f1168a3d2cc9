#include "datagram/receive_loop.h"

#include <string.h>

#include "datagram/udp_socket.h"
#include "util/host_pointers.h"
#include "util/receive_thread.h"

namespace {

const int kBufferSize = 65536;
const char kEcho[4] = {'E', 'c', 'h', 'o'};

enum WaitResult { kStop, kNetwork, kRetry };

WaitResult WaitForDatagram(tagThreadParam *pThread, HANDLE hNetEvent)
{
    WSAEVENT events[2] = {pThread->StopEvent(), hNetEvent};  // stop first: a stop request wins
    DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
    if (r == WSA_WAIT_EVENT_0)
        return kStop;
    if (r == WSA_WAIT_EVENT_0 + 1)
        return kNetwork;
    // A failed wait is repeated, unless a stop is pending: once the owner has
    // closed the socket's event the wait can only fail.
    return pThread->StopRequested() ? kStop : kRetry;
}

bool ReadableDatagramWaiting(CUdpSocket *socket)
{
    WSANETWORKEVENTS happened = {};
    WSAEnumNetworkEvents(socket->GetSocket(), socket->m_hNetEvent, &happened);
    WSAResetEvent(socket->m_hNetEvent);
    return (happened.lNetworkEvents & FD_READ) != 0;
}

}  // namespace

unsigned long RunDatagramReceiveLoop(tagThreadParam *pThread, const DatagramReceiver &receiver)
{
    if (!pThread->Enter())
        return 0;
    CUdpSocket *socket = *receiver.ppSocket;
    HANDLE hNetEvent = socket != nullptr ? socket->m_hNetEvent : nullptr;
    pThread->Leave();
    if (socket == nullptr)
        return 0;

    // The buffer is cleared before every receive: the byte after a short
    // datagram is always zero.
    unsigned char buffer[kBufferSize];
    for (;;) {
        WaitResult woke = WaitForDatagram(pThread, hNetEvent);
        if (woke == kStop)
            return 0;
        if (woke == kRetry)
            continue;

        if (!pThread->Enter())
            return 0;
        if (!ReadableDatagramWaiting(socket)) {
            pThread->Leave();
            continue;
        }
        memset(buffer, 0, sizeof buffer);
        int length = kBufferSize;
        DWORD dwFrom = 0;
        int nFromPort = 0;
        if (!socket->RecvFrom(buffer, &length, &dwFrom, &nFromPort)) {
            pThread->Leave();
            continue;
        }
        if (receiver.pbEcho != nullptr && *receiver.pbEcho && nFromPort != ECHO_PORT)
            receiver.pEchoSender->Send(const_cast<char *>(kEcho), sizeof kEcho, dwFrom, ECHO_PORT);
        ReceiveProc callback = *receiver.pfnReceive;
        void *pUserData = *receiver.ppUserData;
        pThread->Leave();

        if (!IsCallable(reinterpret_cast<void *>(callback)))
            return 0;
        // The host's code runs outside Enter/Leave, so Release may give up on
        // us (or be called from here) while it runs.
        callback(buffer, length, pUserData, dwFrom, nFromPort);
    }
}
