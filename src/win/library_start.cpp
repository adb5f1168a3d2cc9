// Starting and stopping the library in the DLL: Winsock 2.2.
#include "kesnet.h"

#include "win/winsock_epoch.h"

extern "C" int __cdecl KesInitInstance(void)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 0;
    if (LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 2)
        return 1;
    WSACleanup();
    return 0;
}

extern "C" int __cdecl KesExitInstance(void)
{
    if (WSACleanup() != 0)
        return 0;
    EndWinsockEpochIfStopped();
    return 1;
}
