#include "stream/tcp_client_table.h"

#include <string.h>

#include "auth/stream_guard.h"

CTcpClientTable::CTcpClientTable() : m_nCount(0)
{
    memset(m_clients, 0, sizeof m_clients);
}

void CTcpClientTable::Add(const tagTcpClient &client)
{
    m_clients[m_nCount++] = client;
}

void CTcpClientTable::Remove(int nPlace, bool bCloseSocket)
{
    if (bCloseSocket)
        closesocket(m_clients[nPlace].sClient);
    WSACloseEvent(m_clients[nPlace].hEvent);
    delete m_clients[nPlace].pGuard;
    int last = m_nCount - 1;
    // The moved client takes its address and port with it, so its later reads
    // still name it.
    if (nPlace < last)
        m_clients[nPlace] = m_clients[last];
    memset(&m_clients[last], 0, sizeof m_clients[last]);
    m_nCount = last;
}

void CTcpClientTable::CloseAll(bool bCloseSockets)
{
    while (m_nCount > 0)
        Remove(m_nCount - 1, bCloseSockets);
}

int CTcpClientTable::CountFrom(DWORD dwAddr) const
{
    int n = 0;
    for (int k = 0; k < m_nCount; ++k)
        n += m_clients[k].dwClientAddr == dwAddr;
    return n;
}

void CTcpClientTable::CopyEvents(WSAEVENT *pEvents, int nFirst) const
{
    for (int k = 0; k < m_nCount; ++k)
        pEvents[k] = m_clients[(nFirst + k) % m_nCount].hEvent;
}
