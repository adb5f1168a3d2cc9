#include "datagram/receive_loop.h"

#include <string.h>

#include "common/clear_bytes.h"
#include "common/host_pointers.h"
#include "common/process_auth.h"
#include "common/receive_thread.h"
#include "datagram/open_socket.h"
#include "datagram/receive_wait.h"
#include "datagram/udp_socket.h"

namespace {

// Room for the largest datagram.
const int kBufferSize = 65536;
const char kEcho[4] = {'E', 'c', 'h', 'o'};

// The thread's receive buffer, handed over with every byte after the datagram
// zero. The host is handed a writable pointer and may have written anywhere in
// the buffer (to end a datagram as text, or as scratch space), so all 64 KiB
// are cleared before a receive whenever the buffer was handed over, or a
// receive may have written into it, since the last clear; the receive that
// finds nothing, which ends every wake-up, wrote nothing and needs none.
// Under Wine the clear (rep stosb) costs under a microsecond against some 80 µs for
// the receive; a loop without any clear delivered no faster at saturation.
class ReceiveBuffer {
public:
    unsigned char *Clean()
    {
        if (m_bDirty) {
            ClearBytes(m_bytes, sizeof m_bytes);
            m_bDirty = false;
        }
        return m_bytes;
    }
    void MarkWritten() { m_bDirty = true; }

private:
    unsigned char m_bytes[kBufferSize];
    bool m_bDirty = true;  // the thread's stack, as it came
};

enum Delivery { kDelivered, kRefused, kNoDatagram, kEnd };

// The echo: "Echo", or with the process's class key "Echo" and the id of the
// datagram it answers, so that it acknowledges that datagram and no other.
void SendEcho(CKesSend *echoSender, const CUdpSocket::Origin &origin, DWORD dwTo)
{
    if (!origin.authenticated) {
        echoSender->Send(const_cast<char *>(kEcho), sizeof kEcho, dwTo, ECHO_PORT);
        return;
    }
    uint8_t answer[auth::kEchoAnswerBytes];
    auth::MakeEchoAnswer(origin.opened.id, answer);
    echoSender->Send(answer, sizeof answer, dwTo, ECHO_PORT);
}

// Reads one datagram, echoes it when due and hands it to the host's callback.
// kRefused: one came that is not authentic (it was counted and cleared).
// kEnd: the thread is to end (its owner has gone, or the callback is not code).
Delivery DeliverOne(tagThreadParam *pThread, CUdpSocket *socket, const DatagramReceiver &receiver,
                    ReceiveBuffer *buffer)
{
    if (!pThread->Enter())
        return kEnd;
    unsigned char *bytes = buffer->Clean();
    int length = kBufferSize;
    DWORD dwFrom = 0;
    int nFromPort = 0;
    CUdpSocket::Origin origin;
    CUdpSocket::Received received = socket->ReceiveAuthentic(bytes, &length, &dwFrom, &nFromPort, &origin);
    if (received == CUdpSocket::kNothing) {
        // Only a receive that had nothing to give surely wrote nothing.
        if (!CUdpSocket::LastReceiveFoundNothing())
            buffer->MarkWritten();
        pThread->Leave();
        return kNoDatagram;
    }
    if (received == CUdpSocket::kRefused) {  // its bytes are cleared already
        pThread->Leave();
        return kRefused;
    }
    buffer->MarkWritten();
    if (receiver.pbEcho != nullptr && *receiver.pbEcho && nFromPort != ECHO_PORT)
        SendEcho(receiver.pEchoSender, origin, dwFrom);
    ReceiveProc callback = *receiver.pfnReceive;
    void *pUserData = *receiver.ppUserData;
    pThread->Leave();

    if (!IsCallable(reinterpret_cast<void *>(callback)))
        return kEnd;
    // The host's code runs outside Enter/Leave, so Release may give up on us
    // (or be called from here) while it runs.
    MarkDeliveringTeachers(origin.opened.teacher);
    callback(bytes, length, pUserData, dwFrom, nFromPort);
    return kDelivered;
}

}  // namespace

void StopReceivingAndClose(CUdpSocket *&socket, DWORD dwStopTimeout)
{
    if (socket != nullptr && socket->m_pReceiver != nullptr) {
        socket->m_pReceiver->Stop(dwStopTimeout);
        socket->m_pReceiver = nullptr;
    }
    CloseDatagramSocket(socket);
}

unsigned long RunDatagramReceiveLoop(tagThreadParam *pThread, const DatagramReceiver &receiver)
{
    if (!pThread->Enter())
        return 0;
    CUdpSocket *socket = *receiver.ppSocket;
    ReadySignal ready = socket != nullptr ? socket->Readiness() : ReadySignal();
    pThread->Leave();
    if (socket == nullptr)
        return 0;

    ReceiveBuffer buffer;
    for (;;) {
        WaitResult woke = WaitForDatagram(pThread, ready);
        if (woke == kStop)
            return 0;
        if (woke == kRetry)
            continue;

        // The datagram that woke the thread is handed over before the event is
        // re-armed: an echo then leaves without waiting for the reset, which
        // under Wine is a round trip to its server.
        Delivery delivered = DeliverOne(pThread, socket, receiver, &buffer);
        if (delivered == kEnd)
            return 0;
        if (!pThread->Enter())
            return 0;
        socket->Rearm();
        pThread->Leave();
        // Then read on until the socket has nothing more, at least once: a
        // datagram that came after the first receive may have had its signal
        // cleared by the re-arming. Under load each datagram so costs one
        // receive, not a wait, an event query and a receive. A stop request
        // still wins between any two datagrams.
        do {
            if (pThread->StopRequested())
                return 0;
            delivered = DeliverOne(pThread, socket, receiver, &buffer);
        } while (delivered == kDelivered || delivered == kRefused);
        if (delivered == kEnd)
            return 0;
    }
}
