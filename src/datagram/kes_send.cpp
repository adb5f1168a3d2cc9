// CKesSend: the datagram sender without acknowledgement.
#include "kesnet.h"

#include "common/host_pointers.h"
#include "common/object_heap.h"
#include "datagram/open_socket.h"
#include "datagram/udp_socket.h"

KESNET_DEFINE_HEAP_OBJECT(CKesSend)

CKesSend::CKesSend() : m_pSocket(nullptr)
{
    // Not the record's own defaults: mode 1 and every other field 0, dwSize
    // and the echo time-out too, which this sender carries but never reads.
    m_param.dwSize = 0;
    m_param.dwEchoTimeout = 0;
}

CKesSend::~CKesSend() {}

CKesSend &CKesSend::operator=(const CKesSend &other) = default;

int CKesSend::InitInstance(tagParamSend *pParam)
{
    if (m_pSocket != nullptr)
        return 0;  // already set up: a second socket would leak the first
    if (pParam != nullptr) {
        if (!IsReadableBlock(pParam, sizeof *pParam))
            return 0;
        m_param = *pParam;
    }
    // Any mode but multicast is set up as unicast; in multicast mode the
    // destination is the group.
    m_pSocket = OpenDatagramSocket(kSending, 0, m_param.dwLocalAddr, m_param.nMode == KES_MODE_MULTICAST,
                                   m_param.dwDestAddr);
    return m_pSocket != nullptr;
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
    CloseDatagramSocket(m_pSocket);  // leaves the group first in multicast mode
}
