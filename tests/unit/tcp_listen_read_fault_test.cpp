// The stream listener's handling of reads that a real peer cannot bring
// about under Wine, which reports FD_READ only while bytes are waiting,
// reports a close only once every byte was read, and turns a peer's reset
// into a plain end of stream: a successful read of 0 bytes, a read that fails
// in the pass in which the client's close is reported, a read that fails
// after it wrote into the buffer, and a close reported while several reads'
// worth of bytes still wait. This program replaces WSARecv with a version
// that can be told to do any of those reads once (or to read little at a
// time), and WSAEnumNetworkEvents with one that can be told to report a close
// early.
#include <memory>
#include <string>
#include <vector>

#include "stream/tcp_listen.h"
#include "listener_test.h"

namespace {

enum ReadPlan : LONG { kRealRead, kEmptyRead, kFailedRead, kFailedAfterReading };
volatile LONG g_nextRead = kRealRead;
kt::Gate g_planned;  // opened when a planned read has been made
// While set, real reads take at most kShortRead bytes.
volatile LONG g_shortReads = 0;
const ULONG kShortRead = 1000;
// When set, the next report of FD_READ also reports FD_CLOSE.
volatile LONG g_closeEarly = 0;

typedef int(WSAAPI *WSARecvProc)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, LPWSAOVERLAPPED,
                                 LPWSAOVERLAPPED_COMPLETION_ROUTINE);

int WSAAPI PlannedRecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
                       LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine)
{
    static const WSARecvProc real =
        reinterpret_cast<WSARecvProc>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ws2_32.dll"), "WSARecv")));
    LONG plan = InterlockedExchange(&g_nextRead, kRealRead);
    int result = SOCKET_ERROR;
    switch (plan) {
    case kEmptyRead: {
        // A real read into no room: it succeeds with 0 bytes and leaves the
        // waiting bytes for the next one.
        WSABUF none = {0, buffers[0].buf};
        result = real(s, &none, 1, received, flags, overlapped, routine);
        break;
    }
    case kFailedRead:
        WSASetLastError(WSAECONNRESET);
        break;
    case kFailedAfterReading:
        // The waiting bytes are taken into the buffer, and the read fails.
        real(s, buffers, count, received, flags, overlapped, routine);
        WSASetLastError(WSAECONNRESET);
        break;
    default: {
        WSABUF little = {buffers[0].len < kShortRead ? buffers[0].len : kShortRead, buffers[0].buf};
        if (g_shortReads)
            return real(s, &little, 1, received, flags, overlapped, routine);
        return real(s, buffers, count, received, flags, overlapped, routine);
    }
    }
    g_planned.Open();
    return result;
}

typedef int(WSAAPI *WSAEnumNetworkEventsProc)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);

int WSAAPI EarlyCloseEvents(SOCKET s, WSAEVENT hEvent, LPWSANETWORKEVENTS happened)
{
    static const WSAEnumNetworkEventsProc real = reinterpret_cast<WSAEnumNetworkEventsProc>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ws2_32.dll"), "WSAEnumNetworkEvents")));
    int result = real(s, hEvent, happened);
    if (result == 0 && (happened->lNetworkEvents & FD_READ) && InterlockedExchange(&g_closeEarly, 0))
        happened->lNetworkEvents |= FD_CLOSE;
    return result;
}

}  // namespace

// The library calls WSARecv and WSAEnumNetworkEvents through these import slots.
extern "C" WSARecvProc g_importedRecv __asm__(KT_IMPORT_SLOT(WSARecv, 28));
WSARecvProc g_importedRecv = PlannedRecv;
extern "C" WSAEnumNetworkEventsProc g_importedEnumNetworkEvents __asm__(KT_IMPORT_SLOT(WSAEnumNetworkEvents, 12));
WSAEnumNetworkEventsProc g_importedEnumNetworkEvents = EarlyCloseEvents;

namespace {

using kt::RawTcp;
using Place = std::pair<DWORD, int>;

// Records every read and, when told, holds the serving thread in the next
// callback until the test lets it go.
struct HoldingRecorder {
    kt::Collector reads;
    volatile LONG holdNext = 0;
    kt::Gate held;
    kt::Gate release;

    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        HoldingRecorder *self = static_cast<HoldingRecorder *>(pUserData);
        kt::Collector::Receive(pData, nLength, &self->reads, dwAddr, nPort);
        if (InterlockedExchange(&self->holdNext, 0)) {
            self->held.Open();
            self->release.Wait();
        }
    }
};

class TcpListenReadFaultTest : public kt::WinsockTest {
protected:
    void SetUp() override
    {
        kt::WinsockTest::SetUp();
        m_recorder.reads.Watch(kt::PlacesOf(&m_listener.m_server.m_clients));
        m_recorder.reads.CheckEachBuffer(CTcpServer::kPieceBufferSize);
        tagParamListen param;
        param.pfnReceive = HoldingRecorder::Receive;
        param.pUserData = &m_recorder;
        ASSERT_EQ(1, m_listener.InitInstance(&param));
        m_port = kt::BoundPort(m_listener.m_server.m_sListen);
    }

    void TearDown() override
    {
        m_recorder.release.Open();
        m_listener.Release();
        g_nextRead = kRealRead;
        g_shortReads = 0;
        g_closeEarly = 0;
        ResetEvent(g_planned.handle());
        kt::WinsockTest::TearDown();
    }

    std::unique_ptr<RawTcp> Join(const std::string &hello)
    {
        std::unique_ptr<RawTcp> client(new RawTcp);
        if (!client->Connect(kt::Loopback(), m_port) || !client->Send(hello) ||
            !m_recorder.reads.WaitForBytes(client->localAddr(), client->localPort(), hello.size()))
            return nullptr;
        return client;
    }

    // The table as the holder's reads show it: the holder sends a byte at a
    // time (it had sent `sent` bytes) until it is the only client left, or
    // the bound is up; the table of its last read.
    std::vector<Place> PlacesOnceAlone(RawTcp *holder, size_t sent)
    {
        Place staying(holder->localAddr(), holder->localPort());
        DWORD start = GetTickCount();
        std::vector<Place> places;
        for (; GetTickCount() - start < kt::Bound(); ++sent) {
            if (!holder->Send("y") || !m_recorder.reads.WaitForBytes(staying.first, staying.second, sent + 1))
                break;
            places = m_recorder.reads.LastFrom(staying.first, staying.second).places;
            if (places.size() == 1)
                break;
        }
        return places;
    }

    HoldingRecorder m_recorder;
    CTcpListen m_listener;
    int m_port = 0;
};

TEST_F(TcpListenReadFaultTest, AReadOfZeroBytesIsStillHandedToTheCallback)
{
    std::unique_ptr<RawTcp> client = Join("hi");
    ASSERT_NE(nullptr, client);
    g_nextRead = kEmptyRead;
    ASSERT_TRUE(client->Send("abc"));
    ASSERT_TRUE(m_recorder.reads.WaitForBytes(client->localAddr(), client->localPort(), 5));

    std::vector<kt::Received> reads = m_recorder.reads.All();
    ASSERT_GE(reads.size(), 3u);
    EXPECT_TRUE(reads[1].data.empty()) << "the empty read comes first, with the client's address and port:";
    EXPECT_EQ(Place(client->localAddr(), client->localPort()), Place(reads[1].addr, reads[1].port));
    EXPECT_EQ((std::vector<unsigned char>{'h', 'i', 'a', 'b', 'c'}),
              m_recorder.reads.StreamFrom(client->localAddr(), client->localPort()));
}

// A reset after data makes Winsock report FD_READ and FD_CLOSE together. The
// read of that pass fails; the close is reported only this once, so the place
// must be freed all the same.
TEST_F(TcpListenReadFaultTest, ACloseReportedWithAFailedReadStillFreesThePlace)
{
    std::unique_ptr<RawTcp> victim = Join("v"), holder = Join("h");
    ASSERT_TRUE(victim && holder);
    Place gone(victim->localAddr(), victim->localPort());
    Place staying(holder->localAddr(), holder->localPort());

    // Both events reach the listener while its thread is busy elsewhere, so
    // that one pass sees them.
    m_recorder.holdNext = 1;
    ASSERT_TRUE(holder->Send("x"));
    ASSERT_TRUE(m_recorder.held.Wait());
    ASSERT_TRUE(victim->Send("abc"));
    victim->Reset();
    g_nextRead = kFailedRead;
    m_recorder.release.Open();

    // The holder's later reads show the table; the victim must leave it.
    EXPECT_EQ(std::vector<Place>{staying}, PlacesOnceAlone(holder.get(), 2));
    EXPECT_EQ(std::vector<unsigned char>{'v'}, m_recorder.reads.StreamFrom(gone.first, gone.second))
        << "the failed read hands nothing over";
    EXPECT_EQ(kRealRead, g_nextRead) << "the failed read happened";
}

// A platform may report a client's close while several reads' worth of its
// bytes still wait (Wine reports it only once they are read, so both fakes
// play that platform): every byte still reaches the host, in order, and then
// the place is freed.
TEST_F(TcpListenReadFaultTest, BytesStillWaitingWhenTheCloseIsReportedAllArrive)
{
    std::unique_ptr<RawTcp> client = Join("hi"), holder = Join("h");
    ASSERT_TRUE(client && holder);
    Place from(client->localAddr(), client->localPort());
    Place staying(holder->localAddr(), holder->localPort());

    // The thread is held in a callback while the client sends its last bytes
    // and closes, so that the bytes and the close wait together.
    m_recorder.holdNext = 1;
    ASSERT_TRUE(holder->Send("x"));
    ASSERT_TRUE(m_recorder.held.Wait());
    std::vector<unsigned char> last(5 * kShortRead + 123);
    for (size_t i = 0; i < last.size(); ++i)
        last[i] = static_cast<unsigned char>('a' + i % 26);
    ASSERT_TRUE(client->Send(last.data(), last.size()));
    client->ShutdownSend();
    g_shortReads = 1;
    g_closeEarly = 1;
    m_recorder.release.Open();

    std::vector<unsigned char> expected = kt::Bytes("hi");
    expected.insert(expected.end(), last.begin(), last.end());
    ASSERT_TRUE(m_recorder.reads.WaitForBytes(from.first, from.second, expected.size()))
        << "bytes that waited behind the close were dropped";
    EXPECT_TRUE(expected == m_recorder.reads.StreamFrom(from.first, from.second));
    EXPECT_EQ(0, g_closeEarly) << "the close was reported early";
    EXPECT_TRUE(client->WaitClosed()) << "the client was closed once its stream had ended";

    // The holder's later reads show the table: the client has left it.
    EXPECT_EQ(std::vector<Place>{staying}, PlacesOnceAlone(holder.get(), 2));
}

// The listener reads into a buffer far larger than a piece: what a read
// leaves there beyond the bytes it brought must never reach the host, neither
// after a read of 0 bytes nor after a read that wrote into the buffer and
// then failed.
TEST_F(TcpListenReadFaultTest, NothingBeyondTheBytesOfAReadReachesTheHost)
{
    std::unique_ptr<RawTcp> client = Join("hello");
    ASSERT_NE(nullptr, client);
    Place from(client->localAddr(), client->localPort());

    g_nextRead = kEmptyRead;
    ASSERT_TRUE(client->Send("ab"));
    ASSERT_TRUE(m_recorder.reads.WaitForBytes(from.first, from.second, 7));
    ResetEvent(g_planned.handle());
    g_nextRead = kFailedAfterReading;
    ASSERT_TRUE(client->Send("xyz"));
    ASSERT_TRUE(g_planned.Wait());
    ASSERT_TRUE(client->Send("q"));
    ASSERT_TRUE(m_recorder.reads.WaitForBytes(from.first, from.second, 8));

    EXPECT_EQ(kt::Bytes("helloabq"), m_recorder.reads.StreamFrom(from.first, from.second))
        << "the failed read hands nothing over";
    size_t empty = 0;
    for (const kt::Received &read : m_recorder.reads.All()) {
        EXPECT_TRUE(read.zeroAfter) << "after the " << read.data.size() << " bytes of a read";
        empty += read.data.empty();
    }
    EXPECT_EQ(1u, empty) << "the read of 0 bytes is handed over, as one empty piece";
}

}  // namespace
