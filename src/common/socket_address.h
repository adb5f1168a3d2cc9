// The IPv4 socket address of every bind, connect and send of the library.
#ifndef KESNET_COMMON_SOCKET_ADDRESS_H
#define KESNET_COMMON_SOCKET_ADDRESS_H

#include "kesnet.h"  // the platform's socket headers: sockaddr_in, htons

// dwAddr in network order (0: any interface), nPort in host order; only the
// low 16 bits of the port are used.
inline sockaddr_in MakeAddress(DWORD dwAddr, int nPort)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<unsigned short>(nPort));
    sa.sin_addr.s_addr = dwAddr;
    return sa;
}

#endif
