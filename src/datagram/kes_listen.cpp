// CKesListen: the datagram listener with its receive thread and echo, and the
// process-wide listener behind KesListen and KesStopListen.
#include "kesnet.h"

#include "common/host_pointers.h"
#include "common/object_heap.h"
#include "common/receive_thread.h"
#include "datagram/open_socket.h"
#include "datagram/receive_loop.h"
#include "datagram/udp_socket.h"

namespace {

// Constructed when the library is loaded, destroyed (and so released) when it
// is unloaded.
CKesListen g_listen;
int g_bListening = 0;

}  // namespace

KESNET_DEFINE_HEAP_OBJECT(CKesListen)

CKesListen::CKesListen() : m_pSocket(nullptr), m_hThread(nullptr) {}

// Member-wise: a copy shares the socket, the thread and the echo sender.
CKesListen::CKesListen(const CKesListen &other) = default;
CKesListen &CKesListen::operator=(const CKesListen &other) = default;

CKesListen::~CKesListen()
{
    if (m_hThread != nullptr)
        Release();
}

int CKesListen::InitInstance(tagParamListen *pParam)
{
    if (m_pSocket != nullptr || m_hThread != nullptr)
        return 0;  // already running: leave it as it is
    if (!IsReadableBlock(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;

    tagParamSend echo;
    echo.dwLocalAddr = m_param.dwLocalAddr;
    if (!m_echoSend.InitInstance(&echo))
        return 0;

    m_pSocket = OpenDatagramSocket(kReceiving, m_param.nPort, m_param.dwLocalAddr,
                                   m_param.nMode == KES_MODE_MULTICAST, m_param.dwGroupAddr);
    tagThreadParam *thread = nullptr;
    if (m_pSocket != nullptr)
        thread = tagThreadParam::Start(InitThreadProc, this, 0, m_pSocket->StopSignal(), m_param.nPriority,
                                       m_param.dwStopTimeout);
    if (thread == nullptr) {
        Release();  // the echo sender, and the socket if it opened
        return 0;
    }
    m_pSocket->m_pReceiver = thread;
    m_hThread = thread->ThreadHandle();
    return 1;
}

// Also gives back what a set-up that failed half-way holds.
void CKesListen::Release()
{
    StopReceivingAndClose(m_pSocket, m_param.dwStopTimeout);  // leaves the group in multicast mode
    m_hThread = nullptr;
    m_echoSend.Release();
}

unsigned long CKesListen::ThreadProc()
{
    // The loop runs only on the thread that InitInstance started: its block is
    // what keeps it safe from a Release that gives up on it.
    tagThreadParam *thread = tagThreadParam::Running(this, 0);
    if (thread == nullptr)
        return 0;
    DatagramReceiver receiver;
    receiver.ppSocket = &m_pSocket;
    receiver.pfnReceive = &m_param.pfnReceive;
    receiver.ppUserData = &m_param.pUserData;
    receiver.pbEcho = &m_param.bEcho;
    receiver.pEchoSender = &m_echoSend;
    return RunDatagramReceiveLoop(thread, receiver);
}

unsigned long __stdcall CKesListen::InitThreadProc(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    return static_cast<CKesListen *>(thread->pThis)->ThreadProc();
}

extern "C" int __cdecl KesListen(int nMode, ReceiveProc pfnReceive, int nPort, DWORD dwGroupAddr,
                                 void *pUserData, DWORD dwLocalAddr)
{
    if (g_bListening)
        return 0;
    tagParamListen param;
    param.nMode = nMode;
    param.pfnReceive = pfnReceive;
    param.nPort = nPort;
    param.dwGroupAddr = dwGroupAddr;
    param.pUserData = pUserData;
    param.dwLocalAddr = dwLocalAddr;
    if (!g_listen.InitInstance(&param))
        return 0;
    g_bListening = 1;
    return 1;
}

extern "C" int __cdecl KesStopListen(void)
{
    if (!g_bListening)
        return 0;
    g_listen.Release();
    g_bListening = 0;
    return 1;
}
