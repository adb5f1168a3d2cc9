// The socket of one slot of the multi-interface sender and listener: one per
// local interface, joined to the group on its own interface in multicast mode.
#ifndef KESNET_DATAGRAM_SLOT_SOCKET_H
#define KESNET_DATAGRAM_SLOT_SOCKET_H

#include <winsock2.h>

class CUdpSocket;

enum SlotRole { kSendingSlot, kReceivingSlot };

// Binds nPort (0: one of the system's choice) on dwLocalAddr and, when bJoin
// is set (multicast mode), joins dwGroup there; joining also makes dwLocalAddr
// the interface that group datagrams leave through. A group of 0 is joined
// like any other, and refused by the system. A sending slot gets a 64 KiB
// send buffer; a receiving slot a 64 KiB receive buffer and its network event
// tied to incoming datagrams. Null if any step fails, with nothing left open.
CUdpSocket *OpenSlotSocket(SlotRole role, int nPort, DWORD dwLocalAddr, bool bJoin, DWORD dwGroup);

// Leaves the group if one was joined, closes the socket and empties the slot.
// Nothing happens to an empty slot.
void CloseSlotSocket(CUdpSocket *&slot);

#endif
