// Starting and stopping the library, and the one-call datagram send.
#include "kesnet.h"

#include <winsock2.h>

#include "common/winsock_epoch.h"

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

extern "C" int __cdecl KesSend(int nMode, const void *pData, DWORD dwLength, DWORD dwDestAddr,
                               int nDestPort, DWORD dwLocalAddr)
{
    if (IsBadReadPtr(pData, dwLength))
        return 0;
    tagParamSend param;
    param.nMode = nMode;
    param.dwDestAddr = dwDestAddr;
    param.nDestPort = nDestPort;
    param.dwLocalAddr = dwLocalAddr;
    CKesSend sender;
    if (!sender.InitInstance(&param))
        return 0;
    int sent = sender.Send(const_cast<void *>(pData), dwLength, 0, 0);
    sender.Release();
    return sent != 0;
}
