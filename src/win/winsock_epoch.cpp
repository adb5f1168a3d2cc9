#include "win/winsock_epoch.h"

namespace {

volatile LONG g_nEpoch = 0;

// Whether Winsock is stopped for the whole process: other starts (the host's
// own, a system library's) keep it running after one WSACleanup. Every call
// reports WSANOTINITIALISED before any other error while it is stopped.
bool WinsockStopped()
{
    return closesocket(INVALID_SOCKET) == SOCKET_ERROR && WSAGetLastError() == WSANOTINITIALISED;
}

}  // namespace

LONG CurrentWinsockEpoch()
{
    return InterlockedCompareExchange(&g_nEpoch, 0, 0);
}

void EndWinsockEpochIfStopped()
{
    if (WinsockStopped())
        InterlockedIncrement(&g_nEpoch);
}
