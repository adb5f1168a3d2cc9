// The address the network is to use on a host with several: the text value
// "HostIP" under HKEY_LOCAL_MACHINE "SOFTWARE\Tarnwick\Corvane Settings". The
// library only reads it; it is set from outside.
#ifndef KESNET_HOST_PREFERRED_ADDRESS_H
#define KESNET_HOST_PREFERRED_ADDRESS_H

#include <winsock2.h>

// Stores the preferred address (network order) and returns true when the value
// exists and holds a dotted address; false when the key or the value is
// missing, the value is longer than 256 bytes, or its text is not an address.
bool ReadPreferredAddress(DWORD *pdwAddr);

#endif
