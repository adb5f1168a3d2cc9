#include "stream/tcp_server.h"

#include <string.h>

#include <memory>
#include <new>

#include "auth/stream_guard.h"
#include "common/host_pointers.h"
#include "win/winsock_epoch.h"
#include "stream/stream_socket.h"
#include "win/auth_process.h"

// What one pass of the serving loop leaves to be done outside the lock.
struct CTcpServer::Pass {
    bool bStop = false;
    bool bDeliver = false;  // a read to hand to the host
    int nLength = 0;
    DWORD dwAddr = 0;
    int nPort = 0;
    int nClosePlace = -1;   // a client whose close was reported, freed after the callback
};

namespace {

// The stop and accept events take two of the entries of one wait.
const int kWaitableClients = WSA_MAXIMUM_WAIT_EVENTS - 2;

// Closes with a reset rather than a graceful close, so that a client the
// listener has no room for learns at once that it is not being served.
void RefuseClient(SOCKET s)
{
    linger abort = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&abort), sizeof abort);
    closesocket(s);
}

// The network events reported since the last call, with the event reset in
// the same step (under Wine one request to its server, which handles one
// request at a time). A reset of its own after the query would leave a gap:
// a close reported between the two (a reset right behind a client's last
// bytes) would signal only to be cleared unseen, and Winsock reports FD_CLOSE
// once, so the client would keep its place for good.
long TakeNetworkEvents(SOCKET s, WSAEVENT hEvent)
{
    WSANETWORKEVENTS happened = {};
    WSAEnumNetworkEvents(s, hEvent, &happened);
    return happened.lNetworkEvents;
}

// What one read brought, to be handed to the host.
struct ReadBytes {
    const unsigned char *pBytes;
    int nLength;
    DWORD dwAddr;
    int nPort;
};

// Hands one read to the host in consecutive pieces of at most kPieceSize
// bytes, a read of 0 bytes as one empty piece. Each piece is a copy in a
// buffer of its own, zero after the piece's bytes (at least one byte, also
// after a full piece): the host may write into
// what it is handed (a terminator after the bytes, say), and that must reach
// neither the next piece nor the bytes still to come. Between two pieces a
// stop request ends the handing out, so that Release waits for one callback
// at most; the rest of the read is dropped with the listener. Uses nothing of
// the listener, which the host may free in any of the callbacks.
void HandOutInPieces(const tagThreadParam *pThread, ReceiveProc callback, void *pUserData,
                     const ReadBytes &read)
{
    unsigned char piece[CTcpServer::kPieceBufferSize];
    int offset = 0;
    do {
        int length = read.nLength - offset;
        if (length > CTcpServer::kPieceSize)
            length = CTcpServer::kPieceSize;
        memcpy(piece, read.pBytes + offset, length);
        memset(piece + length, 0, CTcpServer::kPieceBufferSize - length);
        callback(piece, length, pUserData, read.dwAddr, read.nPort);
        offset += length;
    } while (offset < read.nLength && !pThread->StopRequested());
}

}  // namespace

CTcpServer::CTcpServer()
    : m_hStopEvent(WSA_INVALID_EVENT),
      m_hAcceptEvent(WSA_INVALID_EVENT),
      m_sListen(INVALID_SOCKET),
      m_pThread(nullptr),
      m_pReadBuffer(nullptr),
      m_pfnReceive(nullptr),
      m_pUserData(nullptr),
      m_nCapacity(0),
      m_nEpoch(0),
      m_nNextPlace(0)
{
}

int CTcpServer::Capacity(int nBacklog)
{
    int capacity = nBacklog;
    if (capacity > kWaitableClients)
        capacity = kWaitableClients;
    if (capacity > CTcpClientTable::kPlaces)
        capacity = CTcpClientTable::kPlaces;
    return capacity > 0 ? capacity : 0;
}

int CTcpServer::Open(const TcpServerSetup &setup)
{
    if (IsOpen())
        return 0;
    m_nEpoch = CurrentWinsockEpoch();
    m_pfnReceive = setup.pfnReceive;
    m_pUserData = setup.pUserData;
    m_nCapacity = Capacity(setup.nBacklog);
    // Made here rather than by the thread, so that a started listener holds
    // all it will hold, and a lack of memory fails the start.
    m_pReadBuffer = new (std::nothrow) unsigned char[kReadSize];
    if (m_pReadBuffer != nullptr && Listen(setup))
        m_pThread = tagThreadParam::Start(setup.entry, setup.pOwner, setup.nIndex, m_hStopEvent,
                                          setup.nPriority, setup.dwStopTimeout);
    if (m_pThread == nullptr) {
        Close(setup.dwStopTimeout);  // what the start got to
        return 0;
    }
    return 1;
}

int CTcpServer::Listen(const TcpServerSetup &setup)
{
    m_sListen = OpenBoundStreamSocket(setup.dwLocalAddr, setup.nPort);
    if (m_sListen == INVALID_SOCKET)
        return 0;
    m_hStopEvent = WSACreateEvent();
    m_hAcceptEvent = WSACreateEvent();
    return m_hStopEvent != WSA_INVALID_EVENT && m_hAcceptEvent != WSA_INVALID_EVENT &&
           WSAEventSelect(m_sListen, m_hAcceptEvent, FD_ACCEPT) != SOCKET_ERROR &&
           listen(m_sListen, setup.nBacklog) != SOCKET_ERROR;
}

void CTcpServer::Close(DWORD dwStopTimeout)
{
    if (m_pThread != nullptr) {
        // When Stop returns the thread has either ended, closing its clients
        // on the way out, or been given up and will never touch this server
        // again: either way what is left here is ours to close.
        m_pThread->Stop(dwStopTimeout);
        m_pThread = nullptr;
    }
    CloseHandles();
    FreeReadBuffer();
    m_clients.CloseAll(SocketsLive());
}

void CTcpServer::FreeReadBuffer()
{
    // Still here only if the thread never took it over; once Stop has
    // returned, the thread can no longer take it.
    delete[] m_pReadBuffer;
    m_pReadBuffer = nullptr;
}

bool CTcpServer::SocketsLive() const
{
    return IsCurrentWinsockEpoch(m_nEpoch);
}

void CTcpServer::CloseHandles()
{
    if (m_hStopEvent != WSA_INVALID_EVENT)
        WSACloseEvent(m_hStopEvent);
    if (m_hAcceptEvent != WSA_INVALID_EVENT)
        WSACloseEvent(m_hAcceptEvent);
    if (m_sListen != INVALID_SOCKET && SocketsLive())
        closesocket(m_sListen);
    m_hStopEvent = WSA_INVALID_EVENT;
    m_hAcceptEvent = WSA_INVALID_EVENT;
    m_sListen = INVALID_SOCKET;
}

unsigned long CTcpServer::Serve(tagThreadParam *pThread)
{
    // The read buffer becomes the thread's own: the host may free the
    // listener while the thread hands a read out of it.
    if (!pThread->Enter())
        return 0;
    std::unique_ptr<unsigned char[]> buffer(m_pReadBuffer);
    m_pReadBuffer = nullptr;
    pThread->Leave();

    int closePlace = -1;
    for (;;) {
        // Everything but the host's callback runs inside Enter/Leave, the wait
        // included: nothing the thread waits on, reads or closes can be closed
        // under it, and the stop event in the wait wakes it whenever Release
        // wants the lock.
        if (!pThread->Enter())
            return 0;
        if (closePlace >= 0)
            m_clients.Remove(closePlace);
        Pass pass = ServeOnePass(pThread, buffer.get());
        ReceiveProc callback = m_pfnReceive;
        void *pUserData = m_pUserData;
        pThread->Leave();

        // Until the next Enter the listener may be released and freed: only
        // locals are used here.
        if (pass.bStop)
            return 0;
        // A callback that cannot be called (null, or not code) gets nothing;
        // the clients are still served, and their bytes dropped.
        if (pass.bDeliver && IsCallable(reinterpret_cast<void *>(callback)))
            HandOutInPieces(pThread, callback, pUserData,
                            ReadBytes{buffer.get(), pass.nLength, pass.dwAddr, pass.nPort});
        closePlace = pass.nClosePlace;
    }
}

CTcpServer::Pass CTcpServer::ServeOnePass(tagThreadParam *pThread, unsigned char *pBuffer)
{
    WSAEVENT events[WSA_MAXIMUM_WAIT_EVENTS];
    events[0] = pThread->StopEvent();  // first, so that a stop request wins
    events[1] = m_hAcceptEvent;
    // A wait reports the first of its signalled events, so the clients are
    // looked at from the one after the client served last, in turn: from
    // place 0 each time, a client that never pauses would keep every client
    // behind it waiting for as long as it streams.
    const int count = m_clients.Count();
    const int first = count > 0 ? m_nNextPlace % count : 0;
    m_clients.CopyEvents(events + 2, first);
    DWORD waited = 2 + count;
    DWORD r = WSAWaitForMultipleEvents(waited, events, FALSE, UnprovenClients() ? kProofCheckMs : WSA_INFINITE, FALSE);
    if (r == WSA_WAIT_TIMEOUT) {
        CloseUnprovenAfterDeadline();
        return Pass();
    }

    Pass pass;
    if (r == WSA_WAIT_EVENT_0) {
        m_clients.CloseAll(SocketsLive());
        pass.bStop = true;
    } else if (r == WSA_WAIT_EVENT_0 + 1) {
        AcceptClient();
    } else if (r >= WSA_WAIT_EVENT_0 + 2 && r < WSA_WAIT_EVENT_0 + waited) {
        const int place = (first + static_cast<int>(r - WSA_WAIT_EVENT_0 - 2)) % count;
        m_nNextPlace = place + 1;
        pass = ReadClient(place, pBuffer);
    }
    // A failed wait is simply repeated.
    return pass;
}

void CTcpServer::AcceptClient()
{
    if ((TakeNetworkEvents(m_sListen, m_hAcceptEvent) & FD_ACCEPT) == 0)
        return;
    sockaddr_in peer = {};
    int length = sizeof peer;
    SOCKET s = WSAAccept(m_sListen, reinterpret_cast<sockaddr *>(&peer), &length, nullptr, 0);
    if (s == INVALID_SOCKET)
        return;
    // Accepting even when full keeps the pending connection from waking the
    // accept event again and again.
    if (m_clients.Count() >= m_nCapacity) {
        RefuseClient(s);
        return;
    }
    std::shared_ptr<const auth::Settings> settings = winauth::Current();
    if (settings != nullptr && m_clients.CountFrom(peer.sin_addr.s_addr) >= settings->placesPerAddress) {
        winauth::Refusals().Count(auth::Refusal::kTooManyPlaces);
        RefuseClient(s);
        return;
    }
    tagTcpClient client = {s,       WSACreateEvent(), peer.sin_addr.s_addr, ntohs(peer.sin_port), FALSE,
                           nullptr, GetTickCount()};
    if (client.hEvent == WSA_INVALID_EVENT ||
        WSAEventSelect(s, client.hEvent, FD_READ | FD_CLOSE) == SOCKET_ERROR ||
        (settings != nullptr && !Challenge(*settings, &client))) {
        if (client.hEvent != WSA_INVALID_EVENT)
            WSACloseEvent(client.hEvent);
        delete client.pGuard;
        closesocket(s);
        return;
    }
    m_clients.Add(client);
}

bool CTcpServer::UnprovenClients() const
{
    for (int k = 0; k < m_clients.Count(); ++k)
        if (m_clients.At(k).pGuard != nullptr && !m_clients.At(k).pGuard->Proven())
            return true;
    return false;
}

// A client that has not proved itself within the deadline is closed, so that
// a connection that never speaks holds no place for good.
void CTcpServer::CloseUnprovenAfterDeadline()
{
    const DWORD now = GetTickCount();
    for (int k = m_clients.Count() - 1; k >= 0; --k) {
        const tagTcpClient &client = m_clients.At(k);
        if (client.pGuard != nullptr && !client.pGuard->Proven() && now - client.dwAcceptedAt >= kProofDeadlineMs) {
            winauth::Refusals().Count(auth::Refusal::kUnknownSender);
            m_clients.Remove(k);
        }
    }
}

// With the class key the listener speaks first: the challenge that the
// client must answer before any of its bytes reach the host.
bool CTcpServer::Challenge(const auth::Settings &settings, tagTcpClient *client)
{
    client->pGuard = new (std::nothrow) auth::StreamOpener;
    uint8_t challenge[auth::kChallengeBytes];
    // A new connection's send buffer is empty: the few bytes go at once.
    return client->pGuard != nullptr && client->pGuard->Start(settings, challenge) &&
           send(client->sClient, reinterpret_cast<const char *>(challenge), sizeof challenge, 0) ==
               static_cast<int>(sizeof challenge);
}

// Leaves in pBuffer only the authentic payload among the nLength bytes read
// from a client with a guard. false: the client is to be closed (what it
// proved before is still handed over).
bool CTcpServer::OpenFrames(tagTcpClient *client, unsigned char *pBuffer, DWORD *pnLength)
{
    auth::Refusal why;
    try {
        m_opened.clear();
        why = client->pGuard->Feed(pBuffer, *pnLength, &m_opened);
    } catch (const std::bad_alloc &) {
        m_opened.clear();
        why = auth::Refusal::kBadTag;
    }
    memcpy(pBuffer, m_opened.data(), m_opened.size());  // never more than was read
    *pnLength = static_cast<DWORD>(m_opened.size());
    if (why == auth::Refusal::kNone)
        return true;
    winauth::Refusals().Count(why);
    return false;
}

CTcpServer::Pass CTcpServer::ReadClient(int nPlace, unsigned char *pBuffer)
{
    tagTcpClient &client = m_clients.At(nPlace);
    const long happened = TakeNetworkEvents(client.sClient, client.hEvent);
    // Winsock reports a close once, and a platform may report it while more
    // than one read's worth of bytes still waits: from then on every turn of
    // this client reads, until a read finds the end of the stream or fails.
    if (happened & FD_CLOSE)
        client.bClosed = TRUE;

    Pass pass;
    if ((happened & FD_READ) == 0 && !client.bClosed)
        return pass;
    // One read for all that waits (up to kReadSize): under Wine each Winsock
    // call is a round trip to its server, and the wait, the event query and
    // the read cost the same whatever the read brings.
    WSABUF slot = {kReadSize, reinterpret_cast<char *>(pBuffer)};
    DWORD received = 0, flags = 0;
    const bool read = WSARecv(client.sClient, &slot, 1, &received, &flags, nullptr, nullptr) != SOCKET_ERROR;
    if (read && received > 0 && client.pGuard != nullptr) {
        const bool authentic = OpenFrames(&client, pBuffer, &received);
        if (received > 0)
            pass = Delivery(client, received);
        if (!authentic)
            pass.nClosePlace = nPlace;
        else if (client.bClosed)
            WSASetEvent(client.hEvent);  // its next turn in the wait reads on
        return pass;
    }
    // A read that FD_READ asked for is handed over even when empty; the end
    // of a closed stream is not a read of the host's.
    if (read && (received > 0 || (happened & FD_READ) != 0))
        pass = Delivery(client, received);
    if (client.bClosed) {
        if (!read || received == 0)
            pass.nClosePlace = nPlace;
        else
            WSASetEvent(client.hEvent);  // its next turn in the wait reads on
    }
    return pass;
}

CTcpServer::Pass CTcpServer::Delivery(const tagTcpClient &client, DWORD nLength)
{
    Pass pass;
    pass.bDeliver = true;
    pass.nLength = static_cast<int>(nLength);
    pass.dwAddr = client.dwClientAddr;
    pass.nPort = client.nClientPort;
    return pass;
}
