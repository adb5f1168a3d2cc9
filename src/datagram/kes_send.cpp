// CKesSend: the datagram sender without acknowledgement.
#include "kesnet.h"

#include <new>

#include "datagram/udp_socket.h"
#include "util/object_heap.h"

namespace {
const int kSendBufferSize = 65536;
}

KESNET_DEFINE_HEAP_OBJECT(CKesSend)

CKesSend::CKesSend() : m_pSocket(nullptr)
{
    // Not the record's own defaults: mode 1 and every other field 0, dwSize
    // and the echo time-out too, which this sender carries but never reads.
    m_param.dwSize = 0;
    m_param.dwEchoTimeout = 0;
}

CKesSend::~CKesSend() {}

CKesSend &CKesSend::operator=(const CKesSend &other)
{
    m_pSocket = other.m_pSocket;
    m_param = other.m_param;
    return *this;
}

int CKesSend::InitInstance(tagParamSend *pParam)
{
    if (m_pSocket != nullptr)
        return 0;  // already set up: a second socket would leak the first
    m_pSocket = new (std::nothrow) CUdpSocket;
    if (m_pSocket == nullptr)
        return 0;
    bool ok = true;
    if (pParam != nullptr) {
        if (IsBadReadPtr(pParam, sizeof *pParam))
            ok = false;
        else
            m_param = *pParam;
    }
    ok = ok && m_pSocket->Create(0, m_param.dwLocalAddr);
    ok = ok && m_pSocket->SetSendBuf(kSendBufferSize);
    if (ok && m_param.nMode == KES_MODE_MULTICAST)
        ok = m_pSocket->JoinGroup(m_param.dwDestAddr);
    if (!ok) {
        delete m_pSocket;  // closes the socket
        m_pSocket = nullptr;
        return 0;
    }
    return 1;
}

int CKesSend::Send(void *pData, DWORD dwLength, DWORD dwAddr, int nPort)
{
    if (dwAddr == 0)
        dwAddr = m_param.dwDestAddr;
    if (nPort == 0)
        nPort = m_param.nDestPort;
    if (m_pSocket == nullptr)
        return 0;
    if (m_param.nMode != KES_MODE_UNICAST && m_param.nMode != KES_MODE_MULTICAST)
        return 1;
    return m_pSocket->SendTo(pData, dwLength, dwAddr, nPort);
}

void CKesSend::Release()
{
    if (m_pSocket == nullptr)
        return;
    if (m_param.nMode == KES_MODE_MULTICAST)
        m_pSocket->LeaveGroup();
    delete m_pSocket;  // closes the socket
    m_pSocket = nullptr;
}
