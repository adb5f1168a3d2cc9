#include "datagram/udp_socket.h"

#include "kesnet.h"  // ECHO_PORT

#include <ws2tcpip.h>

#include <new>

#include "common/clear_bytes.h"
#include "common/socket_address.h"
#include "win/winsock_epoch.h"
#include "win/auth_process.h"

// The multicast options must carry their Winsock 2 numbers; the Winsock 1.1
// header uses other values for the same names.
static_assert(IP_MULTICAST_IF == 9 && IP_MULTICAST_TTL == 10, "Winsock 2 multicast options");
static_assert(IP_ADD_MEMBERSHIP == 12 && IP_DROP_MEMBERSHIP == 13, "Winsock 2 membership options");
static_assert(SO_REUSEADDR == 4 && SO_BROADCAST == 0x20, "socket options");
static_assert(sizeof(ip_mreq) == 8, "a membership request is 8 bytes");
static_assert(SO_SNDBUF == 0x1001 && SO_RCVBUF == 0x1002 && SOL_SOCKET == 0xFFFF, "socket options");

namespace {

const int kMulticastTtl = 10;

}  // namespace

CUdpSocket::CUdpSocket()
    : m_socket(INVALID_SOCKET), m_nEpoch(0), m_dwInterface(0), m_dwGroup(0), m_nPort(0), m_pReceiver(nullptr),
      m_pAuth(nullptr), m_bBulk(false)
{
    m_hNetEvent = WSACreateEvent();
    m_hStopEvent = WSACreateEvent();
}

CUdpSocket::~CUdpSocket()
{
    Close();
    if (m_hNetEvent != WSA_INVALID_EVENT)
        WSACloseEvent(m_hNetEvent);
    if (m_hStopEvent != WSA_INVALID_EVENT)
        WSACloseEvent(m_hStopEvent);
    delete m_pAuth;
}

int CUdpSocket::Create(int nPort, DWORD dwInterface)
{
    m_socket = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0);
    if (m_socket == INVALID_SOCKET)
        return 0;
    m_nEpoch = CurrentWinsockEpoch();
    // Address reuse lets several sockets of this host share a port. A socket
    // on a port of the system's choice gets it only once it is bound: set
    // before, it would let Linux (under Wine) hand out a port that a listener
    // of this host holds, and that listener's datagrams would then go to the
    // new socket. Windows hands out a port that no one holds either way.
    const bool systemsChoice = (nPort & 0xFFFF) == 0;
    if (!systemsChoice && !SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1)) {
        Close();
        return 0;
    }
    m_dwInterface = dwInterface;
    sockaddr_in local = MakeAddress(dwInterface, nPort);
    if (bind(Live(), reinterpret_cast<sockaddr *>(&local), sizeof local) == SOCKET_ERROR ||
        (systemsChoice && !SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1))) {
        Close();
        return 0;
    }
    sockaddr_in bound = {};
    int boundLength = sizeof bound;
    if (getsockname(Live(), reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0)
        m_nPort = ntohs(bound.sin_port);
    return 1;
}

void CUdpSocket::Close()
{
    if (Live() != INVALID_SOCKET)
        closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

SOCKET CUdpSocket::Live() const
{
    return IsCurrentWinsockEpoch(m_nEpoch) ? m_socket : INVALID_SOCKET;
}

winauth::SocketAuth *CUdpSocket::Auth()
{
    if (m_pAuth == nullptr) {
        winauth::SocketAuth *made = new (std::nothrow) winauth::SocketAuth(m_bBulk);
        if (made == nullptr || !made->Valid()) {
            delete made;
            return nullptr;
        }
        if (InterlockedCompareExchangePointer(reinterpret_cast<void *volatile *>(&m_pAuth), made, nullptr) != nullptr)
            delete made;  // another thread was first
    }
    return m_pAuth;
}

int CUdpSocket::SendTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort)
{
    std::shared_ptr<const auth::Settings> settings = winauth::Current();
    if (settings == nullptr)
        return SendPlainTo(pData, dwLength, dwAddr, nPort);
    winauth::SocketAuth *auth = Auth();
    return auth != nullptr &&
           auth->SealAndSend(*settings, pData, dwLength, dwAddr, nPort, [&](const uint8_t *sealed, DWORD size) {
               return SendPlainTo(sealed, size, dwAddr, nPort);
           });
}

bool CUdpSocket::LastSealed(auth::SealedId *pId)
{
    if (m_pAuth == nullptr)
        return false;
    *pId = m_pAuth->LastSealed();
    return pId->sequence != 0;
}

void CUdpSocket::ForgetLastSealed()
{
    if (m_pAuth != nullptr)
        m_pAuth->ForgetLastSealed();
}

CUdpSocket::Received CUdpSocket::ReceiveAuthentic(unsigned char *pBuffer, int *pnLength, DWORD *pdwAddr,
                                                  int *pnPort, Origin *pOrigin)
{
    *pOrigin = Origin();
    if (!RecvFrom(pBuffer, pnLength, pdwAddr, pnPort))
        return kNothing;
    std::shared_ptr<const auth::Settings> settings = winauth::Current();
    if (settings == nullptr)
        return kReceived;
    winauth::SocketAuth *auth = Auth();
    auth::Opened &opened = pOrigin->opened;
    auth::Refusal why = auth == nullptr ? auth::Refusal::kBadTag
                                        : auth->Opener().Open(*settings, pBuffer, static_cast<size_t>(*pnLength),
                                                              static_cast<uint16_t>(m_nPort), winauth::WallNow(),
                                                              settings->teacherOnly && !m_bBulk, &opened);
    if (why != auth::Refusal::kNone) {
        winauth::Refusals().Count(why);
        ClearBytes(pBuffer, static_cast<size_t>(*pnLength));
        return kRefused;
    }
    // An echo on the echo port must answer a datagram this process sent to
    // its sender, and only once: a recorded echo marks no machine present.
    auth::SealedId answered;
    if (m_nPort == ECHO_PORT && auth::ParseEchoAnswer(pBuffer, opened.payloadBytes, &answered) &&
        !winauth::TakeAnswer(answered, pdwAddr != nullptr ? *pdwAddr : 0)) {
        winauth::Refusals().Count(auth::Refusal::kReplay);
        ClearBytes(pBuffer, static_cast<size_t>(*pnLength));
        return kRefused;
    }
    ClearBytes(pBuffer + opened.payloadBytes, static_cast<size_t>(*pnLength) - opened.payloadBytes);
    *pnLength = static_cast<int>(opened.payloadBytes);
    pOrigin->authenticated = true;
    return kReceived;
}

int CUdpSocket::SendPlainTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort)
{
    sockaddr_in to = MakeAddress(dwAddr, nPort);
    int sent = sendto(Live(), static_cast<const char *>(pData), static_cast<int>(dwLength), 0,
                      reinterpret_cast<sockaddr *>(&to), sizeof to);
    return sent != SOCKET_ERROR && static_cast<DWORD>(sent) == dwLength;
}

int CUdpSocket::RecvFrom(void *pBuffer, int *pnLength, DWORD *pdwAddr, int *pnPort)
{
    sockaddr_in from = {};
    int fromLength = sizeof from;
    *pnLength = recvfrom(Live(), static_cast<char *>(pBuffer), *pnLength, 0,
                         reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (*pnLength == SOCKET_ERROR)
        return 0;
    if (pdwAddr != nullptr)
        *pdwAddr = from.sin_addr.s_addr;
    if (pnPort != nullptr)
        *pnPort = ntohs(from.sin_port);
    return 1;
}

int CUdpSocket::SetSendBuf(int nSize)
{
    return SetIntOption(SOL_SOCKET, SO_SNDBUF, nSize);
}

int CUdpSocket::SetRecvBuf(int nSize)
{
    return SetIntOption(SOL_SOCKET, SO_RCVBUF, nSize);
}

int CUdpSocket::SelectEvents(long lMask)
{
    if (Live() == INVALID_SOCKET)
        return 0;
    return WSAEventSelect(Live(), m_hNetEvent, lMask) != SOCKET_ERROR;
}

int CUdpSocket::WatchReadable()
{
    return SelectEvents(FD_READ);
}

ReadySignal CUdpSocket::Readiness() const
{
    return m_hNetEvent;
}

// Every receive, also the last one that finds nothing, lets Winsock signal
// FD_READ again. Resetting the event is cheaper than asking for the network
// events, which for a socket selected for FD_READ alone say nothing more.
void CUdpSocket::Rearm()
{
    WSAResetEvent(m_hNetEvent);
}

HANDLE CUdpSocket::StopSignal() const
{
    return m_hStopEvent;
}

bool CUdpSocket::LastReceiveFoundNothing()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

int CUdpSocket::SetMulticastIf()
{
    return SetIntOption(IPPROTO_IP, IP_MULTICAST_IF, static_cast<int>(m_dwInterface));
}

int CUdpSocket::JoinGroup(DWORD dwGroup)
{
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = dwGroup;
    request.imr_interface.s_addr = m_dwInterface;
    if (!SetMulticastIf())
        return 0;
    SetIntOption(IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl);  // a refused TTL is not fatal
    if (setsockopt(Live(), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<char *>(&request),
                   sizeof request) == SOCKET_ERROR)
        return 0;
    m_dwGroup = dwGroup;
    return 1;
}

int CUdpSocket::LeaveGroup()
{
    ip_mreq request = {};
    request.imr_multiaddr.s_addr = m_dwGroup;
    request.imr_interface.s_addr = m_dwInterface;
    return setsockopt(Live(), IPPROTO_IP, IP_DROP_MEMBERSHIP, reinterpret_cast<char *>(&request),
                      sizeof request) != SOCKET_ERROR;
}

int CUdpSocket::EnableBroadcast()
{
    return SetIntOption(SOL_SOCKET, SO_BROADCAST, 1);
}

int CUdpSocket::SetIntOption(int nLevel, int nOption, int nValue)
{
    return setsockopt(Live(), nLevel, nOption, reinterpret_cast<char *>(&nValue),
                      sizeof nValue) != SOCKET_ERROR;
}
