#include "stream/tcp_listen3.h"

#include "common/object_heap.h"
#include "common/slots.h"

KESNET_DEFINE_HEAP_OBJECT(CTcpListen3)

CTcpListen3::CTcpListen3() {}

CTcpListen3::~CTcpListen3()
{
    Release();
}

void *CTcpListen3::Destroy(unsigned int nFlags)
{
    return DestroyObject(this, nFlags);
}

void CTcpListen3::DeletingDestructor()
{
    DestroyObject(this, 1);
}

bool CTcpListen3::IsStarted() const
{
    for (const CTcpServer &server : m_server)
        if (server.IsOpen())
            return true;
    return false;
}

int CTcpListen3::InitInstance(tagParamListen3 *pParam)
{
    if (IsStarted())
        return 0;
    if (IsBadReadPtr(pParam, sizeof *pParam))
        return 0;
    m_param = *pParam;
    if (!SlotCountAccepted(m_param.nCount))
        return 0;
    TcpServerSetup setup;
    setup.nPort = m_param.nPort;
    setup.nBacklog = m_param.nBacklog;
    setup.pfnReceive = m_param.pfnReceive;
    setup.pUserData = m_param.pUserData;
    setup.nPriority = m_param.nPriority;
    setup.dwStopTimeout = m_param.dwStopTimeout;
    setup.entry = InitThreadProc;
    setup.pOwner = this;
    for (int i = 0; i < m_param.nCount; ++i) {
        setup.dwLocalAddr = m_param.dwLocalAddr[i];
        setup.nIndex = i;
        if (!m_server[i].Open(setup)) {
            // The threads of the addresses before this one are running: stop
            // them before their handles go.
            Release();
            return 0;
        }
    }
    return 1;
}

void CTcpListen3::Release()
{
    for (CTcpServer &server : m_server)
        server.Close(m_param.dwStopTimeout);
}

unsigned long CTcpListen3::ThreadProc(int nIndex)
{
    tagThreadParam *thread = tagThreadParam::Running(this, nIndex);
    return thread != nullptr ? m_server[nIndex].Serve(thread) : 0;
}

unsigned long __stdcall CTcpListen3::InitThreadProc(void *pParam)
{
    tagThreadParam *thread = static_cast<tagThreadParam *>(pParam);
    return static_cast<CTcpListen3 *>(thread->pThis)->ThreadProc(thread->nIndex);
}
