// The socket of every datagram class, opened and closed in one place: the
// senders' and listeners' (one socket, or one per local interface), the echo
// sender's and the acknowledged sender's.
#ifndef KESNET_DATAGRAM_OPEN_SOCKET_H
#define KESNET_DATAGRAM_OPEN_SOCKET_H

#include "kesnet.h"  // DWORD

class CUdpSocket;

enum DatagramRole { kSending, kReceiving };

// Binds nPort (0: one of the system's choice) on dwLocalAddr and, when bJoin
// is set (multicast mode), joins dwGroup there; joining also makes dwLocalAddr
// the interface that group datagrams leave through. A group of 0 is joined
// like any other, and refused by the system. A sending socket gets a 64 KiB
// send buffer; a receiving one a 64 KiB receive buffer and its network event
// tied to incoming datagrams. Null if any step fails, with nothing left open.
CUdpSocket *OpenDatagramSocket(DatagramRole role, int nPort, DWORD dwLocalAddr, bool bJoin, DWORD dwGroup);

// Leaves the group if one was joined, closes the socket and empties the
// pointer. Nothing happens to a null one.
void CloseDatagramSocket(CUdpSocket *&socket);

#endif
