// The Wake-on-LAN magic packet, as KesLanWakeUp and KesWakeUp send it: six
// bytes 0xFF, the target's hardware address sixteen times, then an optional
// SecureOn password of 4 or 6 bytes.
#ifndef KESNET_HOST_MAGIC_PACKET_H
#define KESNET_HOST_MAGIC_PACKET_H

#include <windows.h>

const DWORD kHardwareAddressBytes = 6;
const DWORD kMagicPacketBytes = 6 + 16 * kHardwareAddressBytes;  // 102, without a password
const DWORD kLongestMagicPacket = kMagicPacketBytes + 6;

// Whether a list of dwCount hardware addresses can be read whole. A count
// whose byte size does not fit in 32 bits would wrap the test to a few bytes,
// and a loop over the entries would read far beyond them.
bool IsReadableAddressList(const BYTE *pList, DWORD dwCount);

// Writes the packet for pAddress with nPasswordLength bytes of pPassword
// appended (0 for none) into pPacket, which holds kLongestMagicPacket bytes,
// and returns its length.
DWORD BuildMagicPacket(const BYTE *pAddress, const BYTE *pPassword, int nPasswordLength, BYTE *pPacket);

#endif
