// The host's IPv4 interfaces as the IP helper API reports them: every address
// of every adapter that is up, with its mask. Wake-on-LAN through every
// interface sends to each one's directed broadcast address.
#ifndef KESNET_HOST_IP_INTERFACES_H
#define KESNET_HOST_IP_INTERFACES_H

#include <winsock2.h>

#include <vector>

struct IpInterface {
    DWORD dwAddr;  // network order
    DWORD dwMask;  // network order
};

// The addresses of the adapters that are up, in the system's order. Loopback
// is left out, and so is an address whose subnet has no broadcast address (a
// mask of 31 or 32 bits). false if the system could not be asked.
bool ListIpInterfaces(std::vector<IpInterface> *pList);

// The interface's subnet's directed broadcast address: its address with every
// host bit set.
inline DWORD DirectedBroadcast(const IpInterface &iface)
{
    return iface.dwAddr | ~iface.dwMask;
}

#endif
