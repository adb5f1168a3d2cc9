#include "datagram/udp_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/socket_address.h"

namespace {

const int kMulticastTtl = 10;

}  // namespace

CUdpSocket::CUdpSocket()
    : m_socket(INVALID_SOCKET), m_dwInterface(0), m_dwGroup(0), m_nPort(0), m_pReceiver(nullptr), m_pAuth(nullptr),
      m_bBulk(false)
{
}

// No class key on Linux yet: m_pAuth is never made.
CUdpSocket::~CUdpSocket()
{
    Close();
}

int CUdpSocket::Create(int nPort, DWORD dwInterface)
{
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket == INVALID_SOCKET)
        return 0;
    // As in the DLL: address reuse lets several sockets of this host share a
    // port, but a socket on a port of the system's choice gets it only once
    // it is bound, or Linux could hand it a port that a listener of this host
    // holds, and that listener's datagrams would go to the new socket.
    const bool systemsChoice = (nPort & 0xFFFF) == 0;
    if (!systemsChoice && !SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1)) {
        Close();
        return 0;
    }
    m_dwInterface = dwInterface;
    sockaddr_in local = MakeAddress(dwInterface, nPort);
    if (bind(m_socket, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        (systemsChoice && !SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1))) {
        Close();
        return 0;
    }
    sockaddr_in bound = {};
    socklen_t boundLength = sizeof bound;
    if (getsockname(m_socket, reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0)
        m_nPort = ntohs(bound.sin_port);
    return 1;
}

void CUdpSocket::Close()
{
    if (m_socket != INVALID_SOCKET)
        close(m_socket);
    m_socket = INVALID_SOCKET;
}

SOCKET CUdpSocket::Live() const
{
    return m_socket;
}

int CUdpSocket::SendTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort)
{
    return SendPlainTo(pData, dwLength, dwAddr, nPort);
}

bool CUdpSocket::LastSealed(auth::SealedId *)
{
    return false;
}

void CUdpSocket::ForgetLastSealed() {}

CUdpSocket::Received CUdpSocket::ReceiveAuthentic(unsigned char *pBuffer, int *pnLength, DWORD *pdwAddr,
                                                  int *pnPort, Origin *pOrigin)
{
    *pOrigin = Origin();
    return RecvFrom(pBuffer, pnLength, pdwAddr, pnPort) ? kReceived : kNothing;
}

int CUdpSocket::SendPlainTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort)
{
    if (m_socket == INVALID_SOCKET)
        return 0;
    sockaddr_in to = MakeAddress(dwAddr, nPort);
    ssize_t sent = sendto(m_socket, pData, dwLength, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return sent >= 0 && static_cast<size_t>(sent) == dwLength;
}

int CUdpSocket::RecvFrom(void *pBuffer, int *pnLength, DWORD *pdwAddr, int *pnPort)
{
    sockaddr_in from = {};
    socklen_t fromLength = sizeof from;
    ssize_t got = m_socket == INVALID_SOCKET
                      ? (errno = EBADF, -1)
                      : recvfrom(m_socket, pBuffer, static_cast<size_t>(*pnLength), 0,
                                 reinterpret_cast<sockaddr *>(&from), &fromLength);
    *pnLength = static_cast<int>(got);
    if (got < 0)
        return 0;
    if (pdwAddr != nullptr)
        *pdwAddr = from.sin_addr.s_addr;
    if (pnPort != nullptr)
        *pnPort = ntohs(from.sin_port);
    return 1;
}

bool CUdpSocket::LastReceiveFoundNothing()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

int CUdpSocket::SetSendBuf(int nSize)
{
    return SetIntOption(SOL_SOCKET, SO_SNDBUF, nSize);
}

int CUdpSocket::SetRecvBuf(int nSize)
{
    return SetIntOption(SOL_SOCKET, SO_RCVBUF, nSize);
}

// As WSAEventSelect does in the DLL, watching the socket makes its receives
// return at once when it is empty: the receive loop drains it to the end.
int CUdpSocket::WatchReadable()
{
    if (m_socket == INVALID_SOCKET)
        return 0;
    int flags = fcntl(m_socket, F_GETFL);
    return flags >= 0 && fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

ReadySignal CUdpSocket::Readiness() const
{
    return m_socket;
}

// poll reports a socket readable for as long as a datagram waits in it:
// there is nothing to re-arm.
void CUdpSocket::Rearm() {}

HANDLE CUdpSocket::StopSignal() const
{
    return nullptr;
}

int CUdpSocket::SetMulticastIf()
{
    in_addr local = {};
    local.s_addr = m_dwInterface;
    return m_socket != INVALID_SOCKET &&
           setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0;
}

int CUdpSocket::JoinGroup(DWORD dwGroup)
{
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = dwGroup;
    request.imr_interface.s_addr = m_dwInterface;
    if (!SetMulticastIf())
        return 0;
    SetIntOption(IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl);  // a refused TTL is not fatal
    if (setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
        return 0;
    m_dwGroup = dwGroup;
    return 1;
}

int CUdpSocket::LeaveGroup()
{
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = m_dwGroup;
    request.imr_interface.s_addr = m_dwInterface;
    return m_socket != INVALID_SOCKET &&
           setsockopt(m_socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request) == 0;
}

int CUdpSocket::EnableBroadcast()
{
    return SetIntOption(SOL_SOCKET, SO_BROADCAST, 1);
}

int CUdpSocket::SetIntOption(int nLevel, int nOption, int nValue)
{
    return m_socket != INVALID_SOCKET && setsockopt(m_socket, nLevel, nOption, &nValue, sizeof nValue) == 0;
}
