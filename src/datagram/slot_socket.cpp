#include "datagram/slot_socket.h"

#include <new>

#include "datagram/udp_socket.h"

namespace {

const int kBufferSize = 65536;

bool PrepareForRole(CUdpSocket *socket, SlotRole role)
{
    if (role == kSendingSlot)
        return socket->SetSendBuf(kBufferSize);
    return socket->SelectEvents(FD_READ) && socket->SetRecvBuf(kBufferSize);
}

}  // namespace

CUdpSocket *OpenSlotSocket(SlotRole role, int nPort, DWORD dwLocalAddr, bool bJoin, DWORD dwGroup)
{
    CUdpSocket *socket = new (std::nothrow) CUdpSocket;
    if (socket == nullptr)
        return nullptr;
    if (socket->Create(nPort, dwLocalAddr) && (!bJoin || socket->JoinGroup(dwGroup)) &&
        PrepareForRole(socket, role))
        return socket;
    CloseSlotSocket(socket);
    return nullptr;
}

void CloseSlotSocket(CUdpSocket *&slot)
{
    if (slot == nullptr)
        return;
    // m_dwGroup is set only by a successful join.
    if (slot->m_dwGroup != 0)
        slot->LeaveGroup();
    delete slot;  // closes the socket and its events
    slot = nullptr;
}
