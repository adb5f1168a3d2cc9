// CTcpListen3: the stream listener on up to eight local addresses, one
// listening socket and one serving thread each, made by
// KesCreateObject(KES_OBJECT_TCPLISTEN3).
#ifndef KESNET_STREAM_TCP_LISTEN3_H
#define KESNET_STREAM_TCP_LISTEN3_H

#include "kesnet.h"

#include "common/slots.h"
#include "stream/tcp_server.h"

class CTcpListen3 : public CTcpListen3Object {
public:
    KESNET_HEAP_OBJECT

    CTcpListen3();
    ~CTcpListen3();  // releases a started listener first
    // The destructor slot: destroys, and frees with flag bit 0.
    void *Destroy(unsigned int nFlags) override;
    // The slot after it: destroys and frees (g++'s deleting destructor).
    void DeletingDestructor() override;

    // nCount 0 or above 8: 0. A negative nCount: 1 with nothing opened. All
    // or nothing. 0 while started.
    int InitInstance(tagParamListen3 *pParam) override;
    // Stops the addresses in order, each waiting at most dwStopTimeout.
    void Release() override;

    tagParamListen3 m_param;
    CTcpServer m_server[kMaxSlots];

protected:
    unsigned long ThreadProc(int nIndex);
    static unsigned long __stdcall InitThreadProc(void *pParam);

private:
    bool IsStarted() const;
};

#endif
