// The clients of one listening address of a stream listener.
#ifndef KESNET_STREAM_TCP_CLIENT_TABLE_H
#define KESNET_STREAM_TCP_CLIENT_TABLE_H

#include <winsock2.h>

namespace auth {
class StreamOpener;
}

// One client place.
struct tagTcpClient {
    SOCKET sClient;      // the accepted connection
    WSAEVENT hEvent;     // selected for FD_READ and FD_CLOSE on sClient
    DWORD dwClientAddr;  // the peer's address, network order
    int nClientPort;     // the peer's port, host order
    BOOL bClosed;        // its close was reported: read on until the stream ends
    // With the class key: what proves the client and opens its frames
    // (owned by the table); null for a plain client.
    auth::StreamOpener *pGuard;
    DWORD dwAcceptedAt;  // GetTickCount() when it was accepted
};

// Connected clients always sit in places 0 to Count() - 1, without gaps, so
// that a serving thread can put their events after its own two in one wait
// and find the client behind each wait index.
class CTcpClientTable {
public:
    static const int kPlaces = 100;

    CTcpClientTable();
    CTcpClientTable(const CTcpClientTable &) = delete;
    CTcpClientTable &operator=(const CTcpClientTable &) = delete;

    int Count() const { return m_nCount; }
    const tagTcpClient &At(int nPlace) const { return m_clients[nPlace]; }
    tagTcpClient &At(int nPlace) { return m_clients[nPlace]; }
    // Takes a connected client into the first free place. The caller makes
    // sure there is one (Count() < kPlaces).
    void Add(const tagTcpClient &client);
    // Closes the client in nPlace and moves the last client into its place.
    // bCloseSocket false leaves the socket alone: one that outlived Winsock
    // is no longer the client's (see win/winsock_epoch.h).
    void Remove(int nPlace, bool bCloseSocket = true);
    void CloseAll(bool bCloseSockets = true);
    // Copies the events of the connected clients to pEvents, in place order
    // but starting at place nFirst and wrapping round to place 0.
    void CopyEvents(WSAEVENT *pEvents, int nFirst) const;
    // How many clients came from dwAddr.
    int CountFrom(DWORD dwAddr) const;

    tagTcpClient m_clients[kPlaces];
    int m_nCount;
};

#endif
