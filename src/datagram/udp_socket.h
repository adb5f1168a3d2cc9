// The library's datagram socket: a Winsock UDP socket with the two events on
// which a listener's receive thread waits, the interface it was bound to and
// the multicast group it joined. Every datagram class owns one per socket;
// Wake-on-LAN uses one for the length of a call.
#ifndef KESNET_DATAGRAM_UDP_SOCKET_H
#define KESNET_DATAGRAM_UDP_SOCKET_H

#include <winsock2.h>

#include "auth/trailer.h"

struct tagThreadParam;
namespace winauth {
class SocketAuth;
}

class CUdpSocket {
public:
    CUdpSocket();
    virtual ~CUdpSocket();
    CUdpSocket(const CUdpSocket &) = delete;
    CUdpSocket &operator=(const CUdpSocket &) = delete;

    int Create(int nPort, DWORD dwInterface);
    void Close();
    // Sealed with the process's class key when it has one.
    int SendTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort);
    // As given, whatever the process's key: for wake-up packets, which
    // network cards read.
    int SendPlainTo(const void *pData, DWORD dwLength, DWORD dwAddr, int nPort);
    int RecvFrom(void *pBuffer, int *pnLength, DWORD *pdwAddr, int *pnPort);
    // RecvFrom, and when the process has a class key, the check of what came:
    // kRefused for a datagram that is not authentic or not fresh (counted, and
    // its bytes cleared), else *pnLength is the payload's length, every byte
    // after it zero, and *pOpened (authenticated or not) names it.
    enum Received { kRefused = -1, kNothing = 0, kReceived = 1 };
    struct Origin {
        bool authenticated = false;
        auth::Opened opened;
    };
    Received ReceiveAuthentic(unsigned char *pBuffer, int *pnLength, DWORD *pdwAddr, int *pnPort, Origin *pOrigin);
    // Marks a socket of bulk data (the multicast transfers), before it sends
    // or receives: what it sends carries the class key's tag but never the
    // teacher's signature, and it takes the class's traffic also where
    // listeners take only the teacher's.
    void MarkBulk() { m_bBulk = true; }
    // The id of the last datagram this socket sealed (what an echo answers);
    // false if it never sealed one.
    bool LastSealed(auth::SealedId *pId);
    // From now until the next datagram is sealed, LastSealed names none.
    void ForgetLastSealed();
    int SetSendBuf(int nSize);
    int SetRecvBuf(int nSize);
    int SelectEvents(long lMask);
    // INVALID_SOCKET also for a socket that Winsock ended when it stopped.
    SOCKET GetSocket() const { return Live(); }
    int IsValid() const { return Live() != INVALID_SOCKET; }
    int SetMulticastIf();
    int JoinGroup(DWORD dwGroup);
    int LeaveGroup();
    int EnableBroadcast();

    WSAEVENT m_hNetEvent;   // tied to the socket by SelectEvents
    WSAEVENT m_hStopEvent;  // set by the owning listener to end its receive thread
    SOCKET m_socket;
    LONG m_nEpoch;          // Winsock's epoch when the socket was made
    DWORD m_dwInterface;    // interface of the last Create, network order
    DWORD m_dwGroup;        // group of the last successful JoinGroup
    int m_nPort;            // the port it is bound to

    // The receive thread serving this socket, set by the listener that started it.
    tagThreadParam *m_pReceiver;

private:
    // Made on first use while the process has a class key; kept until the
    // socket goes.
    winauth::SocketAuth *Auth();
    winauth::SocketAuth *volatile m_pAuth;
    bool m_bBulk;

    // m_socket while it is still the socket this object made.
    SOCKET Live() const;
    int SetIntOption(int nLevel, int nOption, int nValue);
};

#endif
