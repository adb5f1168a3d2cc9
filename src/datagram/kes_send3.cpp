// CKesSend3: the datagram sender on up to eight local interfaces, one socket
// per interface; each datagram goes out once through every one of them.
#include "kesnet.h"

#include <new>

#include "datagram/udp_socket.h"
#include "util/slots.h"

namespace {

const int kSendBufferSize = 65536;

// A socket on an ephemeral port of one interface; in multicast mode it joins
// the destination group there, which also makes that interface the one its
// group datagrams leave through.
CUdpSocket *OpenSendSocket(DWORD dwLocalAddr, const tagParamSend3 &param)
{
    CUdpSocket *socket = new (std::nothrow) CUdpSocket;
    if (socket == nullptr)
        return nullptr;
    if (socket->Create(0, dwLocalAddr) && socket->SetSendBuf(kSendBufferSize) &&
        (param.nMode != KES_MODE_MULTICAST || socket->JoinGroup(param.dwDestAddr)))
        return socket;
    delete socket;  // closes the socket
    return nullptr;
}

}  // namespace

CKesSend3::CKesSend3()
{
    for (CUdpSocket *&slot : m_pSocket)
        slot = nullptr;
}

CKesSend3::CKesSend3(const CKesSend3 &other) : m_param(other.m_param)
{
    for (int i = 0; i < kMaxSlots; ++i)
        m_pSocket[i] = other.m_pSocket[i];
}

CKesSend3 &CKesSend3::operator=(const CKesSend3 &other)
{
    for (int i = 0; i < kMaxSlots; ++i)
        m_pSocket[i] = other.m_pSocket[i];
    m_param = other.m_param;
    return *this;
}

CKesSend3::~CKesSend3() {}

int CKesSend3::InitInstance(tagParamSend3 *pParam)
{
    if (AnySlotHeld(m_pSocket))
        return 0;  // already set up: new sockets would leak the old ones
    if (pParam != nullptr) {
        if (IsBadReadPtr(pParam, sizeof *pParam))
            return 0;
        m_param = *pParam;
    }
    if (m_param.nCount == 0 || m_param.nCount > kMaxSlots)
        return 0;
    // A negative count opens nothing and still succeeds.
    for (int i = 0; i < m_param.nCount; ++i) {
        m_pSocket[i] = OpenSendSocket(m_param.dwLocalAddr[i], m_param);
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
    for (CUdpSocket *&slot : m_pSocket) {
        if (slot == nullptr)
            continue;
        if (slot->m_dwGroup != 0)
            slot->LeaveGroup();
        delete slot;  // closes the socket
        slot = nullptr;
    }
}
