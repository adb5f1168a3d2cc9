// One listening address of a stream listener: its listening socket, the two
// events its serving thread waits on first, the thread, and the clients it
// serves. CTcpListen has one, CTcpListen3 one per local address; both run the
// serving loop below.
#ifndef KESNET_STREAM_TCP_SERVER_H
#define KESNET_STREAM_TCP_SERVER_H

#include "kesnet.h"
#include "common/receive_thread.h"
#include "stream/tcp_client_table.h"

#include <vector>

namespace auth {
struct Settings;
}

// Filled field by field, by name.
struct TcpServerSetup {
    DWORD dwLocalAddr = 0;
    int nPort = 0;
    int nBacklog = 0;  // the listen backlog, and the client capacity (see Capacity)
    ReceiveProc pfnReceive = nullptr;
    void *pUserData = nullptr;
    int nPriority = 0;
    DWORD dwStopTimeout = 0;                // how long a failed start waits for the thread
    tagThreadParam::Entry entry = nullptr;  // the listener's InitThreadProc
    void *pOwner = nullptr;                 // the listener, handed to entry
    int nIndex = 0;                         // this address's index in the listener
};

class CTcpServer {
public:
    // A client whose read event is reported is read once, for up to
    // kReadSize bytes, and the host is handed what came in pieces of at most
    // kPieceSize bytes. Each read costs a wait, an event query and the read
    // itself, under Wine three round trips to its server whatever the read
    // brings: with 64 KiB the listener stayed behind a server that reads
    // 64 KiB at a time with overlapped receives; beyond 256 KiB a few
    // streaming clients gained and 62 lost.
    static const int kReadSize = 262144;
    static const int kPieceSize = 1536;
    // A piece's buffer has a byte more than the longest piece, so that even
    // after a full piece one byte reads zero: a host may end a piece as text
    // (data[length] = 0), as it may a datagram.
    static const int kPieceBufferSize = kPieceSize + 1;

    CTcpServer();
    CTcpServer(const CTcpServer &) = delete;
    CTcpServer &operator=(const CTcpServer &) = delete;

    // The clients served at once: nBacklog, but never more than the table
    // holds or one wait can watch beside the stop and accept events, and none
    // for a backlog of 0 or less.
    static int Capacity(int nBacklog);

    // Listens and starts the serving thread. 1, or 0 with nothing held.
    int Open(const TcpServerSetup &setup);
    // Stops the thread (waiting at most dwStopTimeout), then closes the events,
    // the listening socket and every connection still open. Harmless when
    // nothing is held.
    void Close(DWORD dwStopTimeout);
    bool IsOpen() const { return m_pThread != nullptr; }
    // The sockets are still those this server made: Winsock has not stopped
    // since (see win/winsock_epoch.h).
    bool SocketsLive() const;

    // The serving loop, run by the thread that Open started; returns 0.
    unsigned long Serve(tagThreadParam *pThread);

    CTcpClientTable m_clients;
    WSAEVENT m_hStopEvent;
    WSAEVENT m_hAcceptEvent;
    SOCKET m_sListen;
    tagThreadParam *m_pThread;
    unsigned char *m_pReadBuffer;  // kReadSize bytes made by Open, until the thread takes them over
    ReceiveProc m_pfnReceive;
    void *m_pUserData;
    int m_nCapacity;
    LONG m_nEpoch;  // Winsock's epoch when the server was opened
    int m_nNextPlace;  // the client the next wait looks at first
    std::vector<unsigned char> m_opened;  // the authentic payload of the last read (the thread's)

private:
    struct Pass;
    int Listen(const TcpServerSetup &setup);
    void CloseHandles();
    void FreeReadBuffer();
    Pass ServeOnePass(tagThreadParam *pThread, unsigned char *pBuffer);
    void AcceptClient();
    Pass ReadClient(int nPlace, unsigned char *pBuffer);
    static Pass Delivery(const tagTcpClient &client, DWORD nLength);
    static bool Challenge(const auth::Settings &settings, tagTcpClient *client);
    bool UnprovenClients() const;
    void CloseUnprovenAfterDeadline();
    // A connection under the class key proves itself within this time.
    static const DWORD kProofDeadlineMs = 10000;
    static const DWORD kProofCheckMs = 1000;
    bool OpenFrames(tagTcpClient *client, unsigned char *pBuffer, DWORD *pnLength);
};

#endif
