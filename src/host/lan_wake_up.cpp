// Wake-on-LAN: one magic packet per hardware address, broadcast from a chosen
// local interface.
#include "kesnet.h"

#include <string.h>

#include "datagram/udp_socket.h"

namespace {

const DWORD kAddressBytes = 6;
const int kRepeats = 16;
const int kPacketBytes = 6 + kRepeats * kAddressBytes;  // 102
// The port on which the network's machines wait for the packet (0x0900), not
// the customary 9.
const int kWakePort = 2304;

// Six bytes 0xFF, then the hardware address sixteen times.
void BuildMagicPacket(const BYTE *pAddress, BYTE *pPacket)
{
    memset(pPacket, 0xFF, 6);
    for (int i = 0; i < kRepeats; ++i)
        memcpy(pPacket + 6 + i * kAddressBytes, pAddress, kAddressBytes);
}

}  // namespace

extern "C" int __cdecl KesLanWakeUp(DWORD dwLocalAddr, const BYTE *pList, DWORD dwCount)
{
    // A count whose byte size does not fit in 32 bits would wrap the test of the
    // list to a few bytes, and the loop would read far beyond them.
    if (dwCount > MAXDWORD / kAddressBytes || IsBadReadPtr(pList, dwCount * kAddressBytes))
        return 0;
    CUdpSocket socket;  // closed when it goes
    if (!socket.Create(0, dwLocalAddr) || !socket.EnableBroadcast())
        return 0;
    BYTE packet[kPacketBytes];
    for (DWORD i = 0; i < dwCount; ++i) {
        BuildMagicPacket(pList + i * kAddressBytes, packet);
        if (!socket.SendTo(packet, sizeof packet, INADDR_BROADCAST, kWakePort))
            return 0;
    }
    return 1;
}
