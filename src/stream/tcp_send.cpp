#include "stream/tcp_send.h"

#include "common/object_heap.h"
#include "common/socket_address.h"
#include "common/winsock_epoch.h"
#include "stream/stream_socket.h"

KESNET_DEFINE_HEAP_OBJECT(CTcpSend)

CTcpSend::CTcpSend() : m_socket(0), m_nEpoch(0) {}

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
    WSABUF block = {dwLength, static_cast<char *>(pData)};
    DWORD sent = 0;
    if (WSASend(m_socket, &block, 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return 0;
    return sent == dwLength;
}

void CTcpSend::Release()
{
    if (m_socket != 0 && IsCurrentWinsockEpoch(m_nEpoch))
        closesocket(m_socket);
    // Never closed twice: the number may by now name another object's socket.
    m_socket = 0;
}
