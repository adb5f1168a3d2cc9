// CTcpListen: one thread serving the listening socket and every client.
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stream/tcp_listen.h"
#include "listener_test.h"

namespace {

using kt::RawTcp;
using Place = std::pair<DWORD, int>;

Place PlaceOf(const RawTcp &client)
{
    return Place(client.localAddr(), client.localPort());
}

// The byte at offset in a client's stream: every client sends a pattern of
// its own.
unsigned char PatternByte(size_t client, size_t offset)
{
    return static_cast<unsigned char>((client * 31 + offset * 7 + offset / 251) & 0xFF);
}

std::vector<unsigned char> Pattern(size_t client, size_t length)
{
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = PatternByte(client, i);
    return bytes;
}

// A callback for a read of many pieces: it holds the serving thread in its
// first call until the test lets it go, and runs inRead in its third, the
// second piece of the read that follows.
struct LargeRead {
    static constexpr LONG kInRead = 3;
    kt::Collector reads;
    kt::Gate firstHeld, firstGo;
    std::function<void()> inRead;
    volatile LONG calls = 0;
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        LargeRead *self = static_cast<LargeRead *>(pUserData);
        kt::Collector::Receive(pData, nLength, &self->reads, dwAddr, nPort);
        LONG call = InterlockedIncrement(&self->calls);
        if (call == 1) {
            self->firstHeld.Open();
            self->firstGo.Wait();
        }
        if (call == kInRead)
            self->inRead();
    }
};

class TcpListenTest : public kt::ListenerTest<CTcpListenObject, CTcpListen, KES_OBJECT_TCPLISTEN> {
protected:
    // A record for a listener on local, a port of the system's choice, whose
    // reads go to the recorder.
    tagParamListen Record(int nBacklog = 5, DWORD local = 0)
    {
        tagParamListen param;
        param.dwLocalAddr = local;
        param.nBacklog = nBacklog;
        param.pfnReceive = kt::Collector::Receive;
        param.pUserData = &m_reads;
        return param;
    }

    // Starts a listener with the record; its port goes to m_port.
    CTcpListen *Start(tagParamListen param)
    {
        CTcpListen *listener = Make();
        m_reads.Watch(kt::PlacesOf(&listener->m_server.m_clients));
        if (listener->InitInstance(&param) != 1)
            return nullptr;
        m_port = kt::BoundPort(listener->m_server.m_sListen);
        return listener;
    }

    // Sends text and waits for it to arrive; the read that completed it.
    kt::Received SendAndSee(RawTcp &client, const std::string &text)
    {
        size_t before = m_reads.StreamFrom(client.localAddr(), client.localPort()).size();
        EXPECT_TRUE(client.Send(text));
        EXPECT_TRUE(m_reads.WaitForBytes(client.localAddr(), client.localPort(), before + text.size()));
        return m_reads.LastFrom(client.localAddr(), client.localPort());
    }

    // Ends the client's stream and waits until the listener has closed its
    // side, so that its place has been freed. The socket stays open, so that
    // it still tells its address and port.
    static void Leave(RawTcp &client)
    {
        client.ShutdownSend();
        EXPECT_TRUE(client.WaitClosed());
    }

    // Starts a listener whose callback is read's, and connects client, which
    // sends one byte and then, while the thread is held in that byte's
    // callback, a 64 KiB block (*block): once let go with read.firstGo, the
    // thread finds all of the block waiting for its next read.
    CTcpListen *StartWithALargeReadWaiting(LargeRead &read, RawTcp &client, std::vector<unsigned char> *block)
    {
        tagParamListen param = Record();
        param.pfnReceive = LargeRead::Receive;
        param.pUserData = &read;
        CTcpListen *listener = Start(param);
        *block = Pattern(2, 65536);
        if (listener == nullptr || !client.Connect(kt::Loopback(), m_port) || !client.Send("x") ||
            !read.firstHeld.Wait() || !client.Send(block->data(), block->size()))
            return nullptr;
        return listener;
    }

};

// Clients connect from their own local addresses to a listener on every
// interface; each stream arrives whole, under its own address and port.
struct AddressCase {
    const char *name;
    bool privateNetwork;  // the addresses exist only in the test namespace
    std::vector<const char *> clients;
};

class TcpListenAddressTest : public TcpListenTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(TcpListenAddressTest, EachClientsBytesArriveWithItsOwnAddressAndPort)
{
    if (GetParam().privateNetwork)
        KT_REQUIRE_PRIVATE_NETWORK();
    ASSERT_NE(nullptr, Start(Record()));
    std::vector<std::unique_ptr<RawTcp>> clients;
    std::vector<std::string> sent(GetParam().clients.size());
    for (const char *local : GetParam().clients) {
        clients.emplace_back(new RawTcp);
        ASSERT_TRUE(clients.back()->Connect(kt::Addr(local), m_port, kt::Addr(local))) << local;
    }
    // Interleaved, so that the reads of different clients alternate.
    for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < clients.size(); ++i) {
            std::string piece = "client " + std::to_string(i) + " round " + std::to_string(round) + ";";
            ASSERT_TRUE(clients[i]->Send(piece));
            sent[i] += piece;
        }
    for (auto &client : clients)
        Leave(*client);

    size_t total = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(kt::Bytes(sent[i]), m_reads.StreamFrom(clients[i]->localAddr(), clients[i]->localPort()))
            << GetParam().clients[i];
        EXPECT_EQ(kt::Addr(GetParam().clients[i]), clients[i]->localAddr());
        total += sent[i].size();
    }
    size_t recorded = 0;
    for (const kt::Received &read : m_reads.All())
        recorded += read.data.size();
    EXPECT_EQ(total, recorded) << "no read may be credited to a wrong client";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, TcpListenAddressTest,
    ::testing::Values(AddressCase{"Loopback", false, {"127.0.0.1", "127.0.0.2", "127.0.0.3"}},
                      AddressCase{"TwoLinks", true, {"10.77.1.1", "10.77.2.1", "127.0.0.1"}}),
    [](const ::testing::TestParamInfo<AddressCase> &info) { return std::string(info.param.name); });

TEST_F(TcpListenTest, ThreeBytesThenCloseArriveBeforeThePlaceIsFreed)
{
    ASSERT_NE(nullptr, Start(Record()));
    std::unique_ptr<RawTcp> staying = Join("s");
    ASSERT_NE(nullptr, staying);
    RawTcp leaving;
    ASSERT_TRUE(leaving.Connect(kt::Loopback(), m_port));
    Place gone = PlaceOf(leaving);
    ASSERT_TRUE(leaving.Send("abc"));
    Leave(leaving);

    EXPECT_EQ(kt::Bytes("abc"), m_reads.StreamFrom(gone.first, gone.second));
    for (const kt::Received &read : m_reads.All())
        if (Place(read.addr, read.port) == gone) {
            EXPECT_EQ((std::vector<Place>{PlaceOf(*staying), gone}), read.places)
                << "the bytes are handed over while the client still has its place";
        }
    EXPECT_EQ(std::vector<Place>{PlaceOf(*staying)}, SendAndSee(*staying, "x").places);
}

// Holds the serving thread in its first callback until the test lets it go,
// and records every read.
struct HoldFirstRead {
    kt::Gate entered, release;
    kt::Collector reads;
    volatile LONG calls = 0;
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        HoldFirstRead *self = static_cast<HoldFirstRead *>(pUserData);
        if (InterlockedIncrement(&self->calls) == 1) {
            self->entered.Open();
            self->release.Wait();
        }
        kt::Collector::Receive(pData, nLength, &self->reads, dwAddr, nPort);
    }
};

// Clients that send and close while the thread is busy elsewhere: their bytes
// and their close are all waiting when the listener first looks at them, and
// the platform may report the close before the bytes are read.
TEST_F(TcpListenTest, BytesOfClientsThatLeftBeforeTheyWereServedStillArriveWhole)
{
    HoldFirstRead held;
    tagParamListen param = Record();
    param.pfnReceive = HoldFirstRead::Receive;
    param.pUserData = &held;
    ASSERT_NE(nullptr, Start(param));
    RawTcp busy;
    ASSERT_TRUE(busy.Connect(kt::Loopback(), m_port));
    ASSERT_TRUE(busy.Send("x"));
    ASSERT_TRUE(held.entered.Wait());

    const size_t kLeavers = 3;
    std::vector<Place> leavers;
    std::vector<unsigned char> block(5000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 13 + i / 256);
    for (size_t i = 0; i < kLeavers; ++i) {
        RawTcp leaving;
        ASSERT_TRUE(leaving.Connect(kt::Loopback(), m_port));
        leavers.push_back(PlaceOf(leaving));
        ASSERT_TRUE(leaving.Send(block.data(), block.size()));
    }  // each closed at once, gracefully
    held.release.Open();

    for (const Place &gone : leavers) {
        EXPECT_TRUE(held.reads.WaitForBytes(gone.first, gone.second, block.size()));
        EXPECT_EQ(block, held.reads.StreamFrom(gone.first, gone.second));
    }
}

TEST_F(TcpListenTest, ClosingPlaceZeroMovesTheLastClientIntoItWithItsAddressAndPort)
{
    ASSERT_NE(nullptr, Start(Record()));
    std::unique_ptr<RawTcp> a = Join("a");
    std::unique_ptr<RawTcp> b = Join("b", kt::Loopback(), kt::Addr("127.0.0.2"));
    std::unique_ptr<RawTcp> c = Join("c", kt::Loopback(), kt::Addr("127.0.0.3"));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ((std::vector<Place>{PlaceOf(*a), PlaceOf(*b), PlaceOf(*c)}), m_reads.LastFrom(c->localAddr(), c->localPort()).places);

    Leave(*a);
    kt::Received moved = SendAndSee(*c, "c again");
    EXPECT_EQ((std::vector<Place>{PlaceOf(*c), PlaceOf(*b)}), moved.places);
    EXPECT_EQ(PlaceOf(*c), Place(moved.addr, moved.port)) << "the moved client's reads still name it";
    EXPECT_EQ(kt::Bytes("cc again"), m_reads.StreamFrom(c->localAddr(), c->localPort()));

    std::unique_ptr<RawTcp> d = Join("d");
    ASSERT_NE(nullptr, d);
    EXPECT_EQ((std::vector<Place>{PlaceOf(*c), PlaceOf(*b), PlaceOf(*d)}), m_reads.LastFrom(d->localAddr(), d->localPort()).places)
        << "a new client takes the freed last place";

    // The last client leaving moves nobody.
    Leave(*d);
    EXPECT_EQ((std::vector<Place>{PlaceOf(*c), PlaceOf(*b)}), SendAndSee(*b, "b again").places);
}

// The capacity is the least of nBacklog, 100 and 62, and none for a backlog
// of 0 or less. A client beyond it is accepted and reset at once; those
// already served go on undisturbed.
struct CapacityCase {
    int backlog;
    int capacity;
};

class TcpListenCapacityTest : public TcpListenTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(TcpListenCapacityTest, AClientBeyondTheCapacityIsTurnedAwayWhileTheOthersGoOn)
{
    ASSERT_NE(nullptr, Start(Record(GetParam().backlog)));
    std::vector<std::unique_ptr<RawTcp>> served;
    for (int i = 0; i < GetParam().capacity; ++i) {
        served.push_back(Join("hello " + std::to_string(i)));
        ASSERT_NE(nullptr, served.back()) << "client " << i;
    }
    EXPECT_TRUE(TurnedAway());
    for (size_t i = 0; i < served.size(); ++i)
        EXPECT_EQ(static_cast<size_t>(GetParam().capacity), SendAndSee(*served[i], "still here").places.size());
}

INSTANTIATE_TEST_SUITE_P(Backlogs, TcpListenCapacityTest,
                         ::testing::Values(CapacityCase{5, 5}, CapacityCase{1, 1}, CapacityCase{0, 0},
                                           CapacityCase{-1, 0}));

TEST_F(TcpListenTest, SixtyTwoClientsOnOneThreadEachArriveCompleteAndInOrder)
{
    const size_t kClients = 62, kRounds = 6, kPiece = 1500;
    CTcpListen *listener = Start(Record(100));
    ASSERT_NE(nullptr, listener);
    std::vector<std::unique_ptr<RawTcp>> clients;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(Join(std::string(1, static_cast<char>(PatternByte(i, 0)))));
        ASSERT_NE(nullptr, clients.back()) << "client " << i;
    }
    EXPECT_TRUE(TurnedAway()) << "the 63rd client";

    std::vector<std::vector<unsigned char>> sent(kClients);
    for (size_t i = 0; i < kClients; ++i)
        sent[i].push_back(PatternByte(i, 0));
    for (size_t round = 0; round < kRounds; ++round)
        for (size_t i = 0; i < kClients; ++i) {
            std::vector<unsigned char> piece;
            for (size_t k = 0; k < kPiece; ++k)
                piece.push_back(PatternByte(i, sent[i].size() + k));
            ASSERT_TRUE(clients[i]->Send(piece.data(), piece.size()));
            sent[i].insert(sent[i].end(), piece.begin(), piece.end());
        }
    for (auto &client : clients)
        Leave(*client);

    DWORD servingThread = GetThreadId(listener->m_server.m_pThread->ThreadHandle());
    for (size_t i = 0; i < kClients; ++i)
        EXPECT_TRUE(sent[i] == m_reads.StreamFrom(clients[i]->localAddr(), clients[i]->localPort())) << "client " << i;
    size_t largest = 0;
    for (const kt::Received &read : m_reads.All()) {
        EXPECT_EQ(servingThread, read.threadId);
        largest = std::max(largest, read.data.size());
    }
    EXPECT_LE(largest, static_cast<size_t>(CTcpServer::kPieceSize));
}

// A long stream is read in large reads and handed over in pieces of at most
// 1536 bytes, each in a buffer of its own that is zero after the piece (a
// byte more than the piece when it is full, as a host ending it as text
// needs) and that the host may write over without harm to the bytes still to
// come.
TEST_F(TcpListenTest, AMegabyteArrivesWholeInPiecesOfAtMost1536BytesEachZeroAfterItsBytes)
{
    m_reads.WriteOverEachBuffer(CTcpServer::kPieceBufferSize);
    ASSERT_NE(nullptr, Start(Record()));
    // Not a multiple of 1536 bytes: some piece is short, whatever the reads.
    const std::vector<unsigned char> stream = Pattern(1, 1 << 20);
    RawTcp client;
    ASSERT_TRUE(client.Connect(kt::Loopback(), m_port));
    ASSERT_TRUE(client.Send(stream.data(), stream.size()));
    Leave(client);

    EXPECT_TRUE(stream == m_reads.StreamFrom(client.localAddr(), client.localPort()));
    size_t total = 0, largest = 0, shortPieces = 0, dirtyAfter = 0;
    for (const kt::Received &read : m_reads.All()) {
        total += read.data.size();
        largest = std::max(largest, read.data.size());
        shortPieces += read.data.size() < static_cast<size_t>(CTcpServer::kPieceSize);
        dirtyAfter += !read.zeroAfter;
    }
    EXPECT_EQ(stream.size(), total) << "every piece carries the client's address and port";
    EXPECT_EQ(static_cast<size_t>(CTcpServer::kPieceSize), largest);
    EXPECT_GT(shortPieces, 0u);
    EXPECT_EQ(0u, dirtyAfter) << "pieces with a byte other than zero after their bytes";
}

// Release, asked while the thread hands out the pieces of a large read,
// waits for the callback in progress and no more: the rest of the read is
// dropped with the listener.
TEST_F(TcpListenTest, AReleaseDuringALargeReadWaitsForOneCallbackAtMost)
{
    LargeRead read;
    kt::Gate inRead, goOn;
    read.inRead = [&] {
        inRead.Open();
        goOn.Wait();
    };
    RawTcp client;
    std::vector<unsigned char> block;
    CTcpListen *listener = StartWithALargeReadWaiting(read, client, &block);
    ASSERT_NE(nullptr, listener);
    read.firstGo.Open();
    ASSERT_TRUE(inRead.Wait());
    HANDLE thread = kt::DuplicateThread(listener->m_server.m_pThread->ThreadHandle());
    HANDLE stop = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), listener->m_server.m_hStopEvent, GetCurrentProcess(),
                                &stop, 0, FALSE, DUPLICATE_SAME_ACCESS));

    kt::Gate released;
    std::thread releaser([&] {
        listener->Release();
        released.Open();
    });
    // Release has asked the thread to stop once the stop event is set.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop, kt::Bound()));
    goOn.Open();
    EXPECT_TRUE(released.Wait());
    releaser.join();
    CloseHandle(stop);

    EXPECT_TRUE(kt::ThreadEnds(thread));
    EXPECT_EQ(LargeRead::kInRead, read.calls) << "no piece after the one in progress";
    std::vector<unsigned char> got = read.reads.StreamFrom(client.localAddr(), client.localPort());
    std::vector<unsigned char> sent(1, 'x');
    sent.insert(sent.end(), block.begin(), block.begin() + 2 * CTcpServer::kPieceSize);
    EXPECT_TRUE(sent == got) << "the byte and the block's first two pieces, in order";
    EXPECT_TRUE(client.WaitClosed());
}

// The callback of a piece in the middle of a large read releases and deletes
// its listener: the thread hands out nothing more and ends without touching
// the freed listener.
TEST_F(TcpListenTest, TheCallbackMayReleaseAndDeleteItsListenerInTheMiddleOfALargeRead)
{
    LargeRead read;
    CTcpListen *listener = nullptr;
    std::unique_ptr<kt::ReusedBlock<CTcpListen>> reused;
    read.inRead = [&] {
        listener->Release();
        listener->Delete();
        // Likely to be given the listener's memory, so that a thread still
        // using it would leave a mark.
        reused.reset(new kt::ReusedBlock<CTcpListen>);
    };
    RawTcp client;
    std::vector<unsigned char> block;
    listener = StartWithALargeReadWaiting(read, client, &block);
    ASSERT_NE(nullptr, listener);
    Forget(listener);
    HANDLE thread = kt::DuplicateThread(listener->m_server.m_pThread->ThreadHandle());
    read.firstGo.Open();

    EXPECT_TRUE(kt::ThreadEnds(thread));
    EXPECT_EQ(LargeRead::kInRead, read.calls) << "no piece after the one that deleted the listener";
    EXPECT_TRUE(reused && reused->Untouched());
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(TcpListenTest, ListensOnlyOnItsLocalAddress)
{
    ASSERT_NE(nullptr, Start(Record(5, kt::Addr("127.0.0.2"))));
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), m_port));
    std::unique_ptr<RawTcp> client = Join("here", kt::Addr("127.0.0.2"));
    EXPECT_NE(nullptr, client);
}

TEST_F(TcpListenTest, ReleaseClosesTheListeningSocketAndEveryConnection)
{
    CTcpListen *listener = Start(Record());
    ASSERT_NE(nullptr, listener);
    std::unique_ptr<RawTcp> a = Join("a"), b = Join("b");
    ASSERT_TRUE(a && b);
    HANDLE thread = kt::DuplicateThread(listener->m_server.m_pThread->ThreadHandle());

    listener->Release();
    EXPECT_TRUE(kt::ThreadEnds(thread));
    EXPECT_TRUE(a->WaitClosed());
    EXPECT_TRUE(b->WaitClosed());
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), m_port));
}

TEST_F(TcpListenTest, DeletingAStartedListenerReleasesItFirst)
{
    CTcpListen *listener = Start(Record());
    ASSERT_NE(nullptr, listener);
    std::unique_ptr<RawTcp> client = Join("hi");
    ASSERT_NE(nullptr, client);
    ExpectDeletingReleases(listener, kt::DuplicateThread(listener->m_server.m_pThread->ThreadHandle()), *client, kt::Loopback());
}

TEST_F(TcpListenTest, CallsOutsideTheHostsContractAreHarmless)
{
    CTcpListen *listener = Make();
    listener->Release();  // never started
    listener->Release();

    tagParamListen nowhere = Record();
    nowhere.dwLocalAddr = kt::Addr("10.99.99.99");  // not an address of this machine
    EXPECT_EQ(0, listener->InitInstance(&nowhere));
    listener->Release();  // after a failed start
    EXPECT_EQ(kt::Addr("10.99.99.99"), listener->m_param.dwLocalAddr) << "a failed start keeps the copied record";

    m_reads.Watch(kt::PlacesOf(&listener->m_server.m_clients));
    tagParamListen param = Record();
    ASSERT_EQ(1, listener->InitInstance(&param));
    m_port = kt::BoundPort(listener->m_server.m_sListen);
    tagParamListen other = Record(7, kt::Addr("127.0.0.2"));
    EXPECT_EQ(0, listener->InitInstance(&other)) << "a second start is refused";
    EXPECT_EQ(5, listener->m_param.nBacklog) << "and leaves the running listener as it is";
    std::unique_ptr<RawTcp> client = Join("still serving");
    ASSERT_NE(nullptr, client);

    listener->Release();
    listener->Release();
    EXPECT_TRUE(client->WaitClosed());
}

TEST_F(TcpListenTest, AnUnreadableRecordIsRefusedWithNothingOpened)
{
    CTcpListen *listener = Make();
    EXPECT_EQ(0, listener->InitInstance(nullptr));

    tagParamListen param = Record();
    param.nPort = kt::FreeTcpPort();
    kt::CutShort shortRecord(sizeof param - 4);
    memcpy(shortRecord.get(), &param, sizeof param - 4);
    EXPECT_EQ(0, listener->InitInstance(static_cast<tagParamListen *>(shortRecord.get())));
    EXPECT_FALSE(listener->m_server.IsOpen());
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), param.nPort));

    kt::CutShort exact(sizeof param);
    memcpy(exact.get(), &param, sizeof param);
    EXPECT_EQ(1, listener->InitInstance(static_cast<tagParamListen *>(exact.get())))
        << "exactly the record's readable bytes are enough";
}

TEST_F(TcpListenTest, ARefusedPriorityStopsTheThreadAndClosesEverything)
{
    tagParamListen param = Record();
    param.nPort = kt::FreeTcpPort();
    param.nPriority = 12345;  // no such priority
    CTcpListen *listener = Make();
    EXPECT_EQ(0, listener->InitInstance(&param));
    EXPECT_FALSE(listener->m_server.IsOpen());
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), param.nPort));

    param.nPriority = THREAD_PRIORITY_ABOVE_NORMAL;
    m_reads.Watch(kt::PlacesOf(&listener->m_server.m_clients));
    ASSERT_EQ(1, listener->InitInstance(&param)) << "nothing of the failed start is left in the way";
    EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(listener->m_server.m_pThread->ThreadHandle()));
    m_port = param.nPort;
    EXPECT_NE(nullptr, Join("served"));
}

TEST_F(TcpListenTest, WithoutACallbackReadsAreDroppedAndClientsStillServed)
{
    tagParamListen param = Record();
    param.pfnReceive = nullptr;
    ASSERT_NE(nullptr, Start(param));
    for (int i = 0; i < 2; ++i) {
        RawTcp client;
        ASSERT_TRUE(client.Connect(kt::Loopback(), m_port));
        std::vector<unsigned char> block(20000, 'z');
        ASSERT_TRUE(client.Send(block.data(), block.size()));
        Leave(client);
    }
}

}  // namespace
