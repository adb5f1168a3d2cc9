// The host's IPv4 addresses as the resolver lists them, and the same list with
// the preferred address ("HostIP") first.
#include "kesnet.h"

#include <string.h>

#include "win/winsock_epoch.h"
#include "host/preferred_address.h"

namespace {

const int kMaxAddresses = 16;
const int kHostNameLimit = 256;

// The library's only debug output.
void WriteCountLine(int count, const DWORD *table)
{
    char line[64];
    wsprintfA(line, "Number = %d, <%d>, <%d>\n", count, static_cast<int>(table[0]), static_cast<int>(table[1]));
    OutputDebugStringA(line);
}

// An array the caller gives must hold 16 addresses. The resolver's list is
// copied into it without a guard, so one that cannot take them is refused
// before anything is asked.
bool CanHoldAddresses(DWORD *pdwAddr)
{
    return !IsBadWritePtr(pdwAddr, kMaxAddresses * sizeof(DWORD));
}

void CopyAddresses(const DWORD *table, int count, DWORD *pdwAddr)
{
    if (pdwAddr != nullptr)
        memcpy(pdwAddr, table, count * sizeof(DWORD));
}

// The preferred address takes slot 0. When the host has it further down, the
// former first address takes its place there and the result is true; when the
// host does not have it, the former first address drops out of the list.
bool PutPreferredFirst(DWORD preferred, DWORD *table, int count)
{
    DWORD formerFirst = table[0];
    table[0] = preferred;
    for (int i = 1; i < count; ++i) {
        if (table[i] == preferred) {
            table[i] = formerFirst;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int __cdecl VantixGetHostIP(DWORD *pdwAddr)
{
    if (!CanHoldAddresses(pdwAddr))
        return 0;  // nothing can be stored, so none is counted
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 0;
    int count = 0;
    char name[kHostNameLimit];
    if (gethostname(name, sizeof name) == 0) {
        // The entry belongs to Winsock and lives only until WSACleanup.
        const hostent *entry = gethostbyname(name);
        if (entry != nullptr && entry->h_length == sizeof(DWORD)) {
            for (; count < kMaxAddresses && entry->h_addr_list[count] != nullptr; ++count)
                memcpy(&pdwAddr[count], entry->h_addr_list[count], sizeof(DWORD));
        }
    }
    if (WSACleanup() == 0)
        EndWinsockEpochIfStopped();
    return count;
}

extern "C" int __cdecl KesGetHostIP(DWORD *pdwAddr, DWORD *pdwAddr2)
{
    // Either array may be null; one that is given must hold 16 addresses.
    if ((pdwAddr != nullptr && !CanHoldAddresses(pdwAddr)) || (pdwAddr2 != nullptr && !CanHoldAddresses(pdwAddr2)))
        return 0;
    // Slots that no address fills show as 0 in the debug line.
    DWORD table[kMaxAddresses] = {};
    int count = VantixGetHostIP(table);
    WriteCountLine(count, table);
    CopyAddresses(table, count, pdwAddr);
    // The second array takes no part in the list: it gets count zeros.
    if (pdwAddr2 != nullptr)
        memset(pdwAddr2, 0, count * sizeof(DWORD));
    // The registry matters only for a list with at least two addresses.
    if ((pdwAddr == nullptr && pdwAddr2 == nullptr) || count < 2)
        return count;
    DWORD preferred;
    if (ReadPreferredAddress(&preferred) && PutPreferredFirst(preferred, table, count))
        WriteCountLine(count, table);
    CopyAddresses(table, count, pdwAddr);
    return count;
}

extern "C" DWORD __cdecl CorGetHostIP(void)
{
    int count = KesGetHostIP(nullptr, nullptr);
    if (count == 0)
        return 0;
    if (count == 1) {
        // Asked again: the first call only counted.
        DWORD table[kMaxAddresses] = {};
        return KesGetHostIP(table, nullptr) > 0 ? table[0] : 0;
    }
    DWORD preferred;
    return ReadPreferredAddress(&preferred) ? preferred : 0;
}
