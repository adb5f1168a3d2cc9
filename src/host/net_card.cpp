// The hardware addresses of the NetBIOS LAN adapters, in the list form that
// KesLanWakeUp takes: 6 bytes per adapter, one after the other.
#include "kesnet.h"

#include <nb30.h>
#include <string.h>

namespace {

const int kAddressBytes = 6;
const char kAnyName[NCBNAMSZ + 1] = "*               ";

// What NCBASTAT fills: the adapter's status and room for 30 of its names.
struct AdapterStatus {
    ADAPTER_STATUS status;
    NAME_BUFFER names[30];
};
static_assert(sizeof(AdapterStatus) == 600, "the status buffer is 600 bytes");

// A control block zero-filled but for the fields one command uses.
UCHAR RunCommand(UCHAR command, UCHAR lana, void *pBuffer, WORD length)
{
    NCB ncb;
    memset(&ncb, 0, sizeof ncb);
    ncb.ncb_command = command;
    ncb.ncb_lana_num = lana;
    ncb.ncb_buffer = static_cast<PUCHAR>(pBuffer);
    ncb.ncb_length = length;
    if (command == NCBASTAT)
        memcpy(ncb.ncb_callname, kAnyName, NCBNAMSZ);
    return Netbios(&ncb);
}

bool ReadAdapterAddress(UCHAR lana, BYTE *pAddress)
{
    AdapterStatus status;
    if (RunCommand(NCBRESET, lana, nullptr, 0) != NRC_GOODRET ||
        RunCommand(NCBASTAT, lana, &status, sizeof status) != NRC_GOODRET)
        return false;
    memcpy(pAddress, status.status.adapter_address, kAddressBytes);
    return true;
}

}  // namespace

extern "C" int __cdecl KesGetNetCard(BYTE *pBuffer)
{
    LANA_ENUM lanas;
    if (RunCommand(NCBENUM, 0, &lanas, sizeof lanas) != NRC_GOODRET)
        return 0;
    int count = lanas.length;
    if (pBuffer == nullptr)
        return count;
    if (IsBadWritePtr(pBuffer, count * kAddressBytes))
        return 0;
    // A failure leaves the records of the adapters before it in the buffer.
    for (int i = 0; i < count; ++i)
        if (!ReadAdapterAddress(lanas.lana[i], pBuffer + i * kAddressBytes))
            return 0;
    return count;
}
