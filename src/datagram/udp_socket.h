// The library's datagram socket: a UDP socket with what a listener's receive
// thread waits on, the interface it was bound to and the multicast group it
// joined. Every datagram class owns one per socket; Wake-on-LAN uses one for
// the length of a call. Its calls are the platform's (src/win/udp_socket.cpp,
// src/posix/udp_socket.cpp); what it declares here is the same on both.
#ifndef KESNET_DATAGRAM_UDP_SOCKET_H
#define KESNET_DATAGRAM_UDP_SOCKET_H

// The platform's socket, readiness and stop members, and calls that only its
// own code makes (src/win/ or src/posix/, by the build's include path); it
// also gives DWORD and HANDLE.
#include "udp_socket_os.h"

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
    // Whether the last RecvFrom of this thread that failed found the socket
    // empty (and so wrote nothing).
    static bool LastReceiveFoundNothing();
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
    // Makes the socket's receives return at once when nothing is there, and
    // arranges for Readiness() to say when a datagram has come.
    int WatchReadable();
    // What a receive thread waits on for this socket's datagrams: read it
    // while the owner is there, wait on it afterwards.
    ReadySignal Readiness() const;
    // After a wake-up, before the socket is drained: a datagram that comes
    // during the drain is either read by it or wakes the next wait.
    void Rearm();
    // What the thread that serves this socket waits on for a stop, where the
    // platform takes it from the socket (Windows); null where the thread's
    // block makes its own.
    HANDLE StopSignal() const;
    int IsValid() const { return Live() != INVALID_SOCKET; }
    int SetMulticastIf();
    int JoinGroup(DWORD dwGroup);
    int LeaveGroup();
    int EnableBroadcast();

    KESNET_UDP_SOCKET_OS_MEMBERS
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
