#include "host/ip_interfaces.h"

#include <iphlpapi.h>

namespace {

// The widest prefix whose subnet still has a broadcast address.
const ULONG kLongestBroadcastPrefix = 30;
const ULONG kFirstBufferBytes = 16 * 1024;
const int kAttempts = 4;  // adapters may come while the buffer grows
const DWORD kLoopbackNet = 127;

const ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                     GAA_FLAG_SKIP_FRIENDLY_NAME;

DWORD PrefixMask(ULONG prefixLength)
{
    return prefixLength == 0 ? 0 : htonl(~0u << (32 - prefixLength));
}

bool IsUsable(const IP_ADAPTER_ADDRESSES &adapter)
{
    return adapter.OperStatus == IfOperStatusUp && adapter.IfType != IF_TYPE_SOFTWARE_LOOPBACK;
}

void AddAddresses(const IP_ADAPTER_ADDRESSES &adapter, std::vector<IpInterface> *pList)
{
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = adapter.FirstUnicastAddress; u != nullptr; u = u->Next) {
        const sockaddr *address = u->Address.lpSockaddr;
        if (address == nullptr || address->sa_family != AF_INET || u->OnLinkPrefixLength > kLongestBroadcastPrefix)
            continue;
        DWORD addr = reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr;
        if ((ntohl(addr) >> 24) == kLoopbackNet)
            continue;
        pList->push_back({addr, PrefixMask(u->OnLinkPrefixLength)});
    }
}

}  // namespace

bool ListIpInterfaces(std::vector<IpInterface> *pList)
{
    pList->clear();
    std::vector<BYTE> buffer(kFirstBufferBytes);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ULONG size = static_cast<ULONG>(buffer.size());
        IP_ADAPTER_ADDRESSES *first = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
        ULONG result = GetAdaptersAddresses(AF_INET, kFlags, nullptr, first, &size);
        if (result == ERROR_BUFFER_OVERFLOW) {
            buffer.resize(size);
            continue;
        }
        if (result == ERROR_NO_DATA)
            return true;  // no adapter has an IPv4 address
        if (result != NO_ERROR)
            return false;
        for (const IP_ADAPTER_ADDRESSES *adapter = first; adapter != nullptr; adapter = adapter->Next)
            if (IsUsable(*adapter))
                AddAddresses(*adapter, pList);
        return true;
    }
    return false;
}
