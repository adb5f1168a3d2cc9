// CTcpListen: the stream listener on one local address, made by
// KesCreateObject(KES_OBJECT_TCPLISTEN).
#ifndef KESNET_STREAM_TCP_LISTEN_H
#define KESNET_STREAM_TCP_LISTEN_H

#include "kesnet.h"
#include "stream/tcp_server.h"

class CTcpListen : public CTcpListenObject {
public:
    KESNET_HEAP_OBJECT

    // Release waits this long for the serving thread, whatever the record says.
    static const DWORD kStopTimeout = 1000;

    CTcpListen();
    ~CTcpListen();  // releases a started listener first
    // The destructor slot: destroys, and frees with flag bit 0.
    void *Destroy(unsigned int nFlags) override;
    // The slot after it: destroys and frees (g++'s deleting destructor).
    void DeletingDestructor() override;

    // 0 while started: a second start leaves the running listener as it is.
    int InitInstance(tagParamListen *pParam) override;
    void Release() override;

    tagParamListen m_param;
    CTcpServer m_server;

protected:
    unsigned long ThreadProc();
    static unsigned long __stdcall InitThreadProc(void *pParam);
};

#endif
