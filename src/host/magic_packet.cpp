#include "host/magic_packet.h"

#include <string.h>

bool IsReadableAddressList(const BYTE *pList, DWORD dwCount)
{
    return dwCount <= MAXDWORD / kHardwareAddressBytes && !IsBadReadPtr(pList, dwCount * kHardwareAddressBytes);
}

DWORD BuildMagicPacket(const BYTE *pAddress, const BYTE *pPassword, int nPasswordLength, BYTE *pPacket)
{
    memset(pPacket, 0xFF, 6);
    for (int i = 0; i < 16; ++i)
        memcpy(pPacket + 6 + i * kHardwareAddressBytes, pAddress, kHardwareAddressBytes);
    if (nPasswordLength > 0)
        memcpy(pPacket + kMagicPacketBytes, pPassword, nPasswordLength);
    return kMagicPacketBytes + nPasswordLength;
}
