#include "stream/tcp_send.h"

#include <new>
#include <vector>

#include "auth/stream_guard.h"
#include "common/object_heap.h"
#include "common/socket_address.h"
#include "win/winsock_epoch.h"
#include "stream/stream_socket.h"
#include "win/auth_process.h"

namespace {

// How long a connection waits for the listener's challenge: a listener
// without the class key never sends one.
const DWORD kChallengeWaitMs = 10000;

bool ReceiveAll(SOCKET s, uint8_t *bytes, int size)
{
    for (int got = 0; got < size;) {
        int n = recv(s, reinterpret_cast<char *>(bytes) + got, size - got, 0);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

// Answers the listener's challenge on a new connection: the sealer of its
// frames, or null if the listener did not prove to be one of the class's.
auth::StreamSealer *ProveToListener(SOCKET s, const auth::Settings &settings)
{
    DWORD wait = kChallengeWaitMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait);
    uint8_t challenge[auth::kChallengeBytes], hello[auth::kHelloBytes];
    auth::StreamSealer *sealer = new (std::nothrow) auth::StreamSealer;
    if (sealer == nullptr || !ReceiveAll(s, challenge, sizeof challenge) ||
        !sealer->Answer(settings, challenge, hello) ||
        send(s, reinterpret_cast<const char *>(hello), sizeof hello, 0) != static_cast<int>(sizeof hello)) {
        delete sealer;
        return nullptr;
    }
    return sealer;
}

}  // namespace

KESNET_DEFINE_HEAP_OBJECT(CTcpSend)

CTcpSend::CTcpSend() : m_socket(0), m_nEpoch(0), m_pSealer(nullptr) {}

CTcpSend::~CTcpSend()
{
    Release();
}

void *CTcpSend::Destroy(unsigned int nFlags)
{
    return DestroyObject(this, nFlags);
}

void CTcpSend::DeletingDestructor()
{
    DestroyObject(this, 1);
}

int CTcpSend::InitInstance(tagParamSend *pParam)
{
    if (m_socket != 0)
        return 0;
    if (IsBadReadPtr(pParam, sizeof *pParam))
        return 0;
    // The record is read here and nowhere else; no event is ever selected on
    // the socket, so it stays blocking and the connect returns only when the
    // connection is made or has failed.
    SOCKET s = OpenBoundStreamSocket(pParam->dwLocalAddr, 0);
    if (s == INVALID_SOCKET)
        return 0;
    sockaddr_in peer = MakeAddress(pParam->dwDestAddr, pParam->nDestPort);
    if (WSAConnect(s, reinterpret_cast<sockaddr *>(&peer), sizeof peer, nullptr, nullptr, nullptr, nullptr) ==
        SOCKET_ERROR) {
        closesocket(s);
        return 0;
    }
    std::shared_ptr<const auth::Settings> settings = winauth::Current();
    if (settings != nullptr) {
        m_pSealer = ProveToListener(s, *settings);
        if (m_pSealer == nullptr) {
            closesocket(s);
            return 0;
        }
    }
    m_socket = s;
    m_nEpoch = CurrentWinsockEpoch();
    return 1;
}

int CTcpSend::Send(void *pData, unsigned long dwLength)
{
    if (m_socket == 0 || !IsCurrentWinsockEpoch(m_nEpoch))
        return 0;
    if (IsBadReadPtr(pData, dwLength))
        return 0;
    if (m_pSealer != nullptr)
        return SendFramed(static_cast<const uint8_t *>(pData), dwLength);
    WSABUF block = {dwLength, static_cast<char *>(pData)};
    DWORD sent = 0;
    if (WSASend(m_socket, &block, 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return 0;
    return sent == dwLength;
}

int CTcpSend::SendFramed(const uint8_t *pData, unsigned long dwLength)
{
    std::vector<uint8_t> wire;
    try {
        wire.reserve(dwLength + (dwLength / auth::kMaxFrame + 1) * auth::kFrameOverhead);
        if (!m_pSealer->Seal(pData, dwLength, &wire))
            return 0;
    } catch (const std::bad_alloc &) {
        return 0;
    }
    WSABUF block = {static_cast<ULONG>(wire.size()), reinterpret_cast<char *>(wire.data())};
    DWORD sent = 0;
    return WSASend(m_socket, &block, 1, &sent, 0, nullptr, nullptr) != SOCKET_ERROR && sent == wire.size();
}

void CTcpSend::Release()
{
    delete m_pSealer;
    m_pSealer = nullptr;
    if (m_socket != 0 && IsCurrentWinsockEpoch(m_nEpoch))
        closesocket(m_socket);
    // Never closed twice: the number may by now name another object's socket.
    m_socket = 0;
}
