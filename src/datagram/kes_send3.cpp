// CKesSend3: the datagram sender on up to eight local interfaces, one socket
// per interface; each datagram goes out once through every one of them.
#include "kesnet.h"

#include "common/host_pointers.h"
#include "common/object_heap.h"
#include "common/slots.h"
#include "datagram/open_socket.h"
#include "datagram/udp_socket.h"

KESNET_DEFINE_HEAP_OBJECT(CKesSend3)

CKesSend3::CKesSend3()
{
    ClearSlots(m_pSocket);
}

// Member-wise: a copy shares the sockets.
CKesSend3::CKesSend3(const CKesSend3 &other) = default;
CKesSend3 &CKesSend3::operator=(const CKesSend3 &other) = default;

CKesSend3::~CKesSend3() {}

int CKesSend3::InitInstance(tagParamSend3 *pParam)
{
    if (AnySlotHeld(m_pSocket))
        return 0;  // already set up: new sockets would leak the old ones
    if (pParam != nullptr) {
        if (!IsReadableBlock(pParam, sizeof *pParam))
            return 0;
        m_param = *pParam;
    }
    if (!SlotCountAccepted(m_param.nCount))
        return 0;
    for (int i = 0; i < m_param.nCount; ++i) {
        // In multicast mode the destination is the group.
        m_pSocket[i] = OpenDatagramSocket(kSending, 0, m_param.dwLocalAddr[i],
                                          m_param.nMode == KES_MODE_MULTICAST, m_param.dwDestAddr);
        if (m_pSocket[i] == nullptr) {
            Release();
            return 0;
        }
    }
    return 1;
}

int CKesSend3::Send(unsigned char *pData, unsigned long dwLength, unsigned long dwAddr,
                    unsigned short nPort)
{
    if (dwAddr == 0)
        dwAddr = m_param.dwDestAddr;
    int nDestPort = nPort != 0 ? nPort : m_param.nDestPort;
    if (m_param.nCount > kMaxSlots)
        return 0;  // no set-up accepts such a count, so no slot can be in use
    for (int i = 0; i < m_param.nCount; ++i) {
        if (m_pSocket[i] == nullptr)
            return 0;
        if (m_param.nMode != KES_MODE_UNICAST && m_param.nMode != KES_MODE_MULTICAST)
            continue;  // other modes send nothing and count as done
        if (!m_pSocket[i]->SendTo(pData, dwLength, dwAddr, nDestPort))
            return 0;
    }
    return 1;
}

void CKesSend3::Release()
{
    // Every slot, not only the first nCount: the host may have changed the
    // count in m_param since the set-up.
    for (CUdpSocket *&slot : m_pSocket)
        CloseDatagramSocket(slot);
}
