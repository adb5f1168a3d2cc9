// The address the network is to use on a host with several: the text value
// "HostIP" under HKEY_LOCAL_MACHINE "SOFTWARE\Tarnwick\Corvane Settings". The
// library only reads it; it is set from outside.
#ifndef KESNET_HOST_PREFERRED_ADDRESS_H
#define KESNET_HOST_PREFERRED_ADDRESS_H

#include <winsock2.h>

// Stores the preferred address (network order) and returns true when the value
// exists and inet_addr reads an address in it; false when the key or the value
// is missing, the value is longer than 256 bytes, or inet_addr refuses its text
// or reads 255.255.255.255 or 0.0.0.0 in it.
bool ReadPreferredAddress(DWORD *pdwAddr);

#endif
