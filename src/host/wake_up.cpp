// Wake-on-LAN for a whole school: through every IPv4 interface of the host (or
// the ones named), to each one's own subnet, with an optional SecureOn
// password, repeated. KesLanWakeUp keeps the network's original form.
#include "kesnet.h"

#include <limits.h>

#include <memory>
#include <new>
#include <vector>

#include "common/slots.h"
#include "datagram/udp_socket.h"
#include "host/ip_interfaces.h"
#include "host/magic_packet.h"

namespace {

const int kMaxRepeat = 20;
const DWORD kMaxRepeatGap = 1000;

bool IsValidPasswordLength(int nLength)
{
    return nLength == 0 || nLength == 4 || nLength == 6;
}

bool IsValidRecord(const tagParamWake &param)
{
    return param.nCount >= 0 && param.nCount <= kMaxSlots && param.nPort >= 1 && param.nPort <= 65535 &&
           IsValidPasswordLength(param.nPasswordLength) && param.nRepeat >= 1 && param.nRepeat <= kMaxRepeat &&
           param.dwRepeatGap <= kMaxRepeatGap;
}

// The interfaces to wake through: every one the system lists (nCount 0), or
// those named, each of which must be one of them. false for a name that is
// none of them, or when the system cannot be asked.
bool ChooseInterfaces(const tagParamWake &param, std::vector<IpInterface> *pChosen)
{
    std::vector<IpInterface> all;
    if (!ListIpInterfaces(&all))
        return false;
    if (param.nCount == 0) {
        *pChosen = all;
        return true;
    }
    pChosen->clear();
    for (int i = 0; i < param.nCount; ++i) {
        const IpInterface *found = nullptr;
        for (const IpInterface &iface : all)
            if (iface.dwAddr == param.dwLocalAddr[i])
                found = &iface;
        if (found == nullptr)
            return false;
        pChosen->push_back(*found);
    }
    return true;
}

typedef std::vector<std::unique_ptr<CUdpSocket>> Sockets;

// One broadcast socket bound to each interface, all or none. Under Wine a
// datagram socket bound to an interface's address is bound to the interface
// itself (any address, SO_BINDTODEVICE), so its broadcasts leave through it.
bool OpenSockets(const std::vector<IpInterface> &interfaces, Sockets *pSockets)
{
    for (const IpInterface &iface : interfaces) {
        CUdpSocket *socket = new (std::nothrow) CUdpSocket;
        if (socket == nullptr)
            return false;
        pSockets->emplace_back(socket);
        if (!socket->Create(0, iface.dwAddr) || !socket->EnableBroadcast())
            return false;
    }
    return true;
}

// One round: every entry's packet through every interface. Returns how many
// went out; a refused send does not stop the others.
long long SendRound(const tagParamWake &param, const std::vector<IpInterface> &interfaces, const Sockets &sockets,
                    const BYTE *pList, DWORD dwCount)
{
    long long sent = 0;
    BYTE packet[kLongestMagicPacket];
    for (size_t i = 0; i < interfaces.size(); ++i) {
        for (DWORD entry = 0; entry < dwCount; ++entry) {
            DWORD length = BuildMagicPacket(pList + entry * kHardwareAddressBytes, param.byPassword,
                                            param.nPasswordLength, packet);
            sent += sockets[i]->SendPlainTo(packet, length, DirectedBroadcast(interfaces[i]), param.nPort);
            if (param.bLimitedBroadcast)
                sent += sockets[i]->SendPlainTo(packet, length, INADDR_BROADCAST, param.nPort);
        }
    }
    return sent;
}

}  // namespace

extern "C" int __cdecl KesWakeUp(const tagParamWake *pParam, const BYTE *pList, DWORD dwCount)
{
    if (IsBadReadPtr(pParam, sizeof(tagParamWake)) || !IsReadableAddressList(pList, dwCount))
        return 0;
    tagParamWake param;
    param = *pParam;  // read once: the host may change its record meanwhile
    std::vector<IpInterface> interfaces;
    if (!IsValidRecord(param) || !ChooseInterfaces(param, &interfaces))
        return 0;
    // Nothing to send, or nowhere to send it: no socket, and no round to wait out.
    if (dwCount == 0 || interfaces.empty())
        return 0;
    Sockets sockets;  // closed when they go
    if (!OpenSockets(interfaces, &sockets))
        return 0;

    long long sent = 0;
    for (int round = 0; round < param.nRepeat; ++round) {
        if (round > 0)
            Sleep(param.dwRepeatGap);
        sent += SendRound(param, interfaces, sockets, pList, dwCount);
    }
    return sent < INT_MAX ? static_cast<int>(sent) : INT_MAX;
}

extern "C" int __cdecl KesGetInterfaces(DWORD *pdwAddr, DWORD *pdwMask, DWORD dwMax)
{
    if (dwMax > MAXDWORD / sizeof(DWORD) || (pdwAddr != nullptr && IsBadWritePtr(pdwAddr, dwMax * sizeof(DWORD))) ||
        (pdwMask != nullptr && IsBadWritePtr(pdwMask, dwMax * sizeof(DWORD))))
        return 0;
    std::vector<IpInterface> interfaces;
    if (!ListIpInterfaces(&interfaces))
        return 0;
    for (size_t i = 0; i < interfaces.size() && i < dwMax; ++i) {
        if (pdwAddr != nullptr)
            pdwAddr[i] = interfaces[i].dwAddr;
        if (pdwMask != nullptr)
            pdwMask[i] = interfaces[i].dwMask;
    }
    return static_cast<int>(interfaces.size());
}
