// The POSIX part of the datagram socket (datagram/udp_socket.h): a file
// descriptor. A receive thread polls the descriptor itself, and stops on a
// signal of its own block, so the socket carries no events.
#ifndef KESNET_POSIX_UDP_SOCKET_OS_H
#define KESNET_POSIX_UDP_SOCKET_OS_H

#include "kesnet.h"  // DWORD, HANDLE

typedef int SOCKET;
const SOCKET INVALID_SOCKET = -1;
typedef int ReadySignal;

#define KESNET_UDP_SOCKET_OS_MEMBERS \
    SOCKET m_socket;

#endif
