// Wake-on-LAN as the network's programs have always sent it: one magic packet
// per hardware address, broadcast from a chosen local interface.
#include "kesnet.h"

#include "datagram/udp_socket.h"
#include "host/magic_packet.h"

namespace {

// The port on which the network's machines wait for the packet (0x0900), not
// the customary 9.
const int kWakePort = 2304;

}  // namespace

extern "C" int __cdecl KesLanWakeUp(DWORD dwLocalAddr, const BYTE *pList, DWORD dwCount)
{
    if (!IsReadableAddressList(pList, dwCount))
        return 0;
    CUdpSocket socket;  // closed when it goes
    if (!socket.Create(0, dwLocalAddr) || !socket.EnableBroadcast())
        return 0;
    BYTE packet[kLongestMagicPacket];
    for (DWORD i = 0; i < dwCount; ++i) {
        DWORD length = BuildMagicPacket(pList + i * kHardwareAddressBytes, nullptr, 0, packet);
        if (!socket.SendPlainTo(packet, length, INADDR_BROADCAST, kWakePort))
            return 0;
    }
    return 1;
}
