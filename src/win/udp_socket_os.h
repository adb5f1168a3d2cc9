// The Windows part of the datagram socket (datagram/udp_socket.h): a Winsock
// socket, the event that WSAEventSelect ties to it, the owning listener's
// stop event, and the Winsock epoch the socket was made in.
#ifndef KESNET_WIN_UDP_SOCKET_OS_H
#define KESNET_WIN_UDP_SOCKET_OS_H

#include <winsock2.h>

typedef WSAEVENT ReadySignal;

#define KESNET_UDP_SOCKET_OS_MEMBERS                                          \
    int SelectEvents(long lMask);                                             \
    /* INVALID_SOCKET also for a socket that Winsock ended when it stopped. */ \
    SOCKET GetSocket() const { return Live(); }                               \
    WSAEVENT m_hNetEvent;   /* tied to the socket by SelectEvents */          \
    WSAEVENT m_hStopEvent;  /* set by the owning listener to end its receive thread */ \
    SOCKET m_socket;                                                          \
    LONG m_nEpoch;          /* Winsock's epoch when the socket was made */

#endif
