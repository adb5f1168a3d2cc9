// CKesSend2: the acknowledged unicast sender. Each Send waits for the
// receiver's "Echo", which its own CKesListen hears on ECHO_PORT.
#include "kesnet.h"

#include "common/host_pointers.h"
#include "common/object_heap.h"
#include "common/process_auth.h"
#include "common/sync.h"
#include "datagram/open_socket.h"
#include "datagram/udp_socket.h"

KESNET_DEFINE_HEAP_OBJECT(CKesSend2)

CKesSend2::CKesSend2() : m_pSocket(nullptr), m_hEchoEvent(nullptr), m_dwLastDest(0) {}

// Member-wise: a copy shares the socket, the echo listener, the event and the
// lock.
CKesSend2::CKesSend2(const CKesSend2 &other) = default;
CKesSend2 &CKesSend2::operator=(const CKesSend2 &other) = default;

// Destroying m_echoListen stops its thread; the socket, the event and the lock
// are given back only by Release.
CKesSend2::~CKesSend2() {}

int CKesSend2::InitInstance(tagParamSend *pParam)
{
    if (m_hEchoEvent != nullptr)
        return 0;  // already set up: a second set-up would reinitialise a lock in use
    if (pParam != nullptr) {
        if (!IsReadableBlock(pParam, sizeof *pParam))
            return 0;
        m_param = *pParam;
        if (m_param.nMode != KES_MODE_UNICAST)
            return 0;  // only unicast: an echo comes from one receiver's own address
    }

    m_hEchoEvent = os::CreateAutoEvent();
    if (m_hEchoEvent == nullptr)
        return 0;
    // From here on Release gives back whatever the set-up got to.
    os::InitLock(&m_lock);
    tagParamListen echo;
    echo.dwLocalAddr = m_param.dwLocalAddr;
    echo.nPort = ECHO_PORT;
    echo.pUserData = this;
    echo.pfnReceive = OnReadEcho;
    if (m_echoListen.InitInstance(&echo))
        m_pSocket = OpenDatagramSocket(kSending, 0, m_param.dwLocalAddr, false, 0);
    if (m_pSocket == nullptr) {
        Release();
        return 0;
    }
    return 1;
}

int CKesSend2::Send(void *pData, unsigned long dwLength, unsigned long dwAddr, int nPort)
{
    // The lock exists only while the sender is set up.
    if (m_pSocket == nullptr)
        return 0;
    os::TakeLock(&m_lock);
    if (dwAddr == 0)
        dwAddr = m_param.dwDestAddr;
    if (nPort == 0)
        nPort = m_param.nDestPort;
    // The echo thread compares against m_dwLastDest without the lock; the
    // shared store also orders it before the reset below.
    os::StoreShared(&m_dwLastDest, static_cast<DWORD>(dwAddr));
    // An echo that came after an earlier Send gave up would otherwise still be
    // pending and acknowledge this datagram before it is answered. One that is
    // still on its way cannot be told apart without the class key: the plain
    // echo names no datagram. With it, the earlier datagram is forgotten
    // first, so that its echo never matches again.
    m_pSocket->ForgetLastSealed();
    os::ResetAutoEvent(m_hEchoEvent);
    int acknowledged = m_pSocket->SendTo(pData, dwLength, dwAddr, nPort) &&
                       os::WaitEvent(m_hEchoEvent, m_param.dwEchoTimeout);
    os::DropLock(&m_lock);
    return acknowledged;
}

// The event exists exactly while the sender is set up (or half-way through
// a set-up that failed), and the lock with it.
void CKesSend2::Release()
{
    if (m_hEchoEvent == nullptr)
        return;
    // The echo thread first: it reads the socket's last sealed datagram.
    m_echoListen.Release();
    CloseDatagramSocket(m_pSocket);
    os::CloseAutoEvent(m_hEchoEvent);
    m_hEchoEvent = nullptr;
    os::DeleteLock(&m_lock);
}

// Whether an authenticated echo answers the datagram the socket sent last:
// a forged echo cannot say so, and a recorded one answers another datagram.
static bool AnswersLastSent(CUdpSocket *socket, const void *pData, int nLength)
{
    auth::SealedId answered, sent;
    return socket != nullptr && nLength >= 0 &&
           auth::ParseEchoAnswer(static_cast<const uint8_t *>(pData), static_cast<size_t>(nLength), &answered) &&
           socket->LastSealed(&sent) && answered.sender == sent.sender && answered.sequence == sent.sequence;
}

void __cdecl CKesSend2::OnReadEcho(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int)
{
    // Without the class key any datagram from the awaited address counts:
    // the plain echo carries nothing that ties it to one particular send.
    // With it, only the echo of the very datagram sent last.
    CKesSend2 *self = static_cast<CKesSend2 *>(pUserData);
    if (dwAddr != os::LoadShared(&self->m_dwLastDest))
        return;
    if (ProcessAuthenticates() &&
        !AnswersLastSent(*static_cast<CUdpSocket *volatile *>(&self->m_pSocket), pData, nLength))
        return;
    os::SignalEvent(self->m_hEchoEvent);
}
