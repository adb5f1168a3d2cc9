// CKesSend2: the acknowledged unicast sender. Each Send waits for the
// receiver's "Echo", which its own CKesListen hears on ECHO_PORT.
#include "kesnet.h"

#include <new>

#include "datagram/udp_socket.h"
#include "util/object_heap.h"

namespace {

const int kSendBufferSize = 65536;

// Everything but the sending socket: the echo listener, the event, the lock.
void ReleaseEchoSide(CKesSend2 *sender)
{
    sender->m_echoListen.Release();
    CloseHandle(sender->m_hEchoEvent);
    sender->m_hEchoEvent = nullptr;
    DeleteCriticalSection(&sender->m_lock);
}

}  // namespace

KESNET_DEFINE_HEAP_OBJECT(CKesSend2)

CKesSend2::CKesSend2() : m_pSocket(nullptr), m_hEchoEvent(nullptr), m_dwLastDest(0) {}

CKesSend2::CKesSend2(const CKesSend2 &other)
    : m_lock(other.m_lock),
      m_pSocket(other.m_pSocket),
      m_param(other.m_param),
      m_echoListen(other.m_echoListen),
      m_hEchoEvent(other.m_hEchoEvent),
      m_dwLastDest(other.m_dwLastDest)
{
}

CKesSend2 &CKesSend2::operator=(const CKesSend2 &other)
{
    m_lock = other.m_lock;
    m_pSocket = other.m_pSocket;
    m_param = other.m_param;
    m_echoListen = other.m_echoListen;
    m_hEchoEvent = other.m_hEchoEvent;
    m_dwLastDest = other.m_dwLastDest;
    return *this;
}

// Destroying m_echoListen stops its thread; the socket, the event and the lock
// are given back only by Release.
CKesSend2::~CKesSend2() {}

int CKesSend2::InitInstance(tagParamSend *pParam)
{
    if (m_pSocket != nullptr)
        return 0;  // already set up: a second set-up would reinitialise a lock in use
    if (pParam != nullptr) {
        if (IsBadReadPtr(pParam, sizeof *pParam))
            return 0;
        m_param = *pParam;
        if (m_param.nMode != KES_MODE_UNICAST)
            return 0;  // only unicast: an echo comes from one receiver's own address
    }

    m_hEchoEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_hEchoEvent == nullptr)
        return 0;

    tagParamListen echo;
    echo.dwLocalAddr = m_param.dwLocalAddr;
    echo.nPort = ECHO_PORT;
    echo.pUserData = this;
    echo.pfnReceive = OnReadEcho;
    if (!m_echoListen.InitInstance(&echo)) {
        CloseHandle(m_hEchoEvent);
        m_hEchoEvent = nullptr;
        return 0;
    }

    InitializeCriticalSection(&m_lock);
    m_pSocket = new (std::nothrow) CUdpSocket;
    if (m_pSocket == nullptr || !m_pSocket->Create(0, m_param.dwLocalAddr) ||
        !m_pSocket->SetSendBuf(kSendBufferSize)) {
        delete m_pSocket;  // closes the socket
        m_pSocket = nullptr;
        ReleaseEchoSide(this);
        return 0;
    }
    return 1;
}

int CKesSend2::Send(void *pData, unsigned long dwLength, unsigned long dwAddr, int nPort)
{
    // The lock exists only while the sender is set up.
    if (m_pSocket == nullptr)
        return 0;
    EnterCriticalSection(&m_lock);
    if (dwAddr == 0)
        dwAddr = m_param.dwDestAddr;
    if (nPort == 0)
        nPort = m_param.nDestPort;
    // The echo thread compares against m_dwLastDest without the lock; the
    // interlocked store also orders it before the reset below.
    InterlockedExchange(reinterpret_cast<volatile LONG *>(&m_dwLastDest), static_cast<LONG>(dwAddr));
    // An echo that came after an earlier Send gave up would otherwise still be
    // pending and acknowledge this datagram before it is answered. One that is
    // still on its way cannot be told apart: the echo names no datagram.
    ResetEvent(m_hEchoEvent);
    int acknowledged = m_pSocket->SendTo(pData, dwLength, dwAddr, nPort) &&
                       WaitForSingleObject(m_hEchoEvent, m_param.dwEchoTimeout) == WAIT_OBJECT_0;
    LeaveCriticalSection(&m_lock);
    return acknowledged;
}

void CKesSend2::Release()
{
    if (m_pSocket == nullptr)
        return;
    delete m_pSocket;  // closes the socket
    m_pSocket = nullptr;
    ReleaseEchoSide(this);
}

void __cdecl CKesSend2::OnReadEcho(void *, int, void *pUserData, unsigned long dwAddr, int)
{
    // Any datagram from the awaited address counts: the echo carries nothing
    // that ties it to one particular send.
    CKesSend2 *self = static_cast<CKesSend2 *>(pUserData);
    if (dwAddr == *static_cast<volatile DWORD *>(&self->m_dwLastDest))
        SetEvent(self->m_hEchoEvent);
}
