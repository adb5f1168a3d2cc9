// CKesListen: the datagram listener with its receive thread and echo, and the
// process-wide listener behind KesListen and KesStopListen.
#include "kesnet.h"

#include <new>

#include "datagram/receive_loop.h"
#include "datagram/udp_socket.h"
#include "util/object_heap.h"
#include "util/receive_thread.h"

namespace {

const int kReceiveBufferSize = 65536;

// Constructed when the library is loaded, destroyed (and so released) when it
// is unloaded.
CKesListen g_listen;
int g_bListening = 0;

}  // namespace

KESNET_DEFINE_HEAP_OBJECT(CKesListen)

CKesListen::CKesListen() : m_pSocket(nullptr), m_hThread(nullptr) {}

CKesListen::CKesListen(const CKesListen &other)
    : m_pSocket(other.m_pSocket),
      m_hThread(other.m_hThread),
      m_param(other.m_param),
      m_echoSend(other.m_echoSend)
{
}

CKesListen &CKesListen::operator=(const CKesListen &other)
{
    m_pSocket = other.m_pSocket;
    m_hThread = other.m_hThread;
    m_param = other.m_param;
    m_echoSend = other.m_echoSend;
    return *this;
}

CKesListen::~CKesListen()
{
    if (m_hThread != nullptr)
        Release();
}

int CKesListen::InitInstance(tagParamListen *pParam)
{
    if (m_pSocket != nullptr || m_hThread != nullptr)
        return 0;  // already running: leave it as it is
    if (IsBadReadPtr(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;

    tagParamSend echo;
    echo.dwLocalAddr = m_param.dwLocalAddr;
    if (!m_echoSend.InitInstance(&echo))
        return 0;

    m_pSocket = new (std::nothrow) CUdpSocket;
    bool ok = m_pSocket != nullptr && m_pSocket->Create(m_param.nPort, m_param.dwLocalAddr);
    bool joined = false;
    if (ok && m_param.nMode == KES_MODE_MULTICAST)
        ok = joined = m_pSocket->JoinGroup(m_param.dwGroupAddr);
    ok = ok && m_pSocket->SelectEvents(FD_READ);
    ok = ok && m_pSocket->SetRecvBuf(kReceiveBufferSize);
    if (ok) {
        tagThreadParam *thread = tagThreadParam::Start(InitThreadProc, this, 0, m_pSocket->m_hStopEvent,
                                                       m_param.nPriority, m_param.dwStopTimeout);
        if (thread != nullptr) {
            m_pSocket->m_pReceiver = thread;
            m_hThread = thread->ThreadHandle();
            return 1;
        }
    }
    if (joined)
        m_pSocket->LeaveGroup();
    delete m_pSocket;  // closes the socket
    m_pSocket = nullptr;
    m_echoSend.Release();
    return 0;
}

void CKesListen::Release()
{
    if (m_pSocket == nullptr || m_hThread == nullptr)
        return;
    m_pSocket->m_pReceiver->Stop(m_param.dwStopTimeout);
    m_pSocket->m_pReceiver = nullptr;
    m_hThread = nullptr;
    if (m_param.nMode == KES_MODE_MULTICAST)
        m_pSocket->LeaveGroup();
    delete m_pSocket;  // closes the socket and its events
    m_pSocket = nullptr;
    m_echoSend.Release();
}

unsigned long CKesListen::ThreadProc()
{
    // The loop runs only on the thread that InitInstance started: its block is
    // what keeps it safe from a Release that gives up on it.
    tagThreadParam *thread = tagThreadParam::Running(this, 0);
    if (thread == nullptr)
        return 0;
    DatagramReceiver receiver = {&m_pSocket, &m_param.pfnReceive, &m_param.pUserData, &m_param.bEcho,
                                 &m_echoSend};
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
