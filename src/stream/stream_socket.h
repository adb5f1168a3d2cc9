// The sockets of the stream objects: every one is an overlapped IPv4 TCP
// socket with SO_REUSEADDR, bound before it listens or connects.
#ifndef KESNET_STREAM_STREAM_SOCKET_H
#define KESNET_STREAM_STREAM_SOCKET_H

#include <winsock2.h>

// A new TCP socket bound to dwLocalAddr:nPort (0 and 0: any interface, a port
// of the system's choice). INVALID_SOCKET, with nothing left open, on failure.
SOCKET OpenBoundStreamSocket(DWORD dwLocalAddr, int nPort);

#endif
