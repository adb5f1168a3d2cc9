#include "datagram/open_socket.h"

#include <new>

#include "datagram/udp_socket.h"

namespace {

// Room for the largest datagram, and for those that wait while a listener's
// callback runs.
const int kSocketBufferSize = 65536;

bool PrepareForRole(CUdpSocket *socket, DatagramRole role)
{
    if (role == kSending)
        return socket->SetSendBuf(kSocketBufferSize);
    return socket->WatchReadable() && socket->SetRecvBuf(kSocketBufferSize);
}

}  // namespace

CUdpSocket *OpenDatagramSocket(DatagramRole role, int nPort, DWORD dwLocalAddr, bool bJoin, DWORD dwGroup)
{
    CUdpSocket *socket = new (std::nothrow) CUdpSocket;
    if (socket == nullptr)
        return nullptr;
    if (socket->Create(nPort, dwLocalAddr) && (!bJoin || socket->JoinGroup(dwGroup)) &&
        PrepareForRole(socket, role))
        return socket;
    CloseDatagramSocket(socket);
    return nullptr;
}

void CloseDatagramSocket(CUdpSocket *&socket)
{
    if (socket == nullptr)
        return;
    // m_dwGroup is set only by a successful join.
    if (socket->m_dwGroup != 0)
        socket->LeaveGroup();
    delete socket;  // closes the socket and its events
    socket = nullptr;
}
