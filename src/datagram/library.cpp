// The one-call datagram send. Starting and stopping the library
// (KesInitInstance, KesExitInstance) is the platform's: src/win/library_start.cpp,
// src/posix/library_start.cpp.
#include "kesnet.h"

#include "common/host_pointers.h"

extern "C" int __cdecl KesSend(int nMode, const void *pData, DWORD dwLength, DWORD dwDestAddr,
                               int nDestPort, DWORD dwLocalAddr)
{
    if (!IsReadableBlock(pData, dwLength))
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
