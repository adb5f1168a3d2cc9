#include "stream/tcp_listen.h"

#include "common/object_heap.h"

KESNET_DEFINE_HEAP_OBJECT(CTcpListen)

CTcpListen::CTcpListen() {}

CTcpListen::~CTcpListen()
{
    // A host that forgets Release would otherwise leave the thread serving
    // freed memory.
    Release();
}

void *CTcpListen::Destroy(unsigned int nFlags)
{
    return DestroyObject(this, nFlags);
}

void CTcpListen::DeletingDestructor()
{
    DestroyObject(this, 1);
}

int CTcpListen::InitInstance(tagParamListen *pParam)
{
    if (m_server.IsOpen())
        return 0;
    if (IsBadReadPtr(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;
    TcpServerSetup setup;
    setup.dwLocalAddr = m_param.dwLocalAddr;
    setup.nPort = m_param.nPort;
    setup.nBacklog = m_param.nBacklog;
    setup.pfnReceive = m_param.pfnReceive;
    setup.pUserData = m_param.pUserData;
    setup.nPriority = m_param.nPriority;
    setup.dwStopTimeout = kStopTimeout;
    setup.entry = InitThreadProc;
    setup.pOwner = this;
    return m_server.Open(setup);
}

void CTcpListen::Release()
{
    m_server.Close(kStopTimeout);
}

unsigned long CTcpListen::ThreadProc()
{
    tagThreadParam *thread = tagThreadParam::Running(this, 0);
    return thread != nullptr ? m_server.Serve(thread) : 0;
}

unsigned long __stdcall CTcpListen::InitThreadProc(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    return static_cast<CTcpListen *>(thread->pThis)->ThreadProc();
}
