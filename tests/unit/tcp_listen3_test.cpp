// CTcpListen3: one listening socket and one serving thread per local address.
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "stream/tcp_listen3.h"
#include "listener_test.h"

namespace {

using kt::RawTcp;

class TcpListen3Test : public kt::ListenerTest<CTcpListen3Object, CTcpListen3, KES_OBJECT_TCPLISTEN3> {
protected:
    // A record for the addresses, all on one free port, whose reads go to
    // the recorder.
    tagParamListen3 Record(const std::vector<DWORD> &locals, int nBacklog = 100)
    {
        tagParamListen3 param;
        param.nPort = m_port = kt::FreeTcpPort();
        param.nCount = static_cast<int>(locals.size());
        std::copy(locals.begin(), locals.end(), param.dwLocalAddr);
        param.nBacklog = nBacklog;
        param.pfnReceive = kt::Collector::Receive;
        param.pUserData = &m_reads;
        return param;
    }

    CTcpListen3 *Start(tagParamListen3 param)
    {
        CTcpListen3 *listener = Make();
        return listener->InitInstance(&param) == 1 ? listener : nullptr;
    }

    DWORD ThreadOf(const RawTcp &client)
    {
        return m_reads.LastFrom(client.localAddr(), client.localPort()).threadId;
    }

};

TEST_F(TcpListen3Test, AnUnreadableRecordIsRefused)
{
    CTcpListen3 *listener = Make();
    EXPECT_EQ(0, listener->InitInstance(nullptr));
    tagParamListen3 param = Record({kt::Loopback()});
    kt::CutShort shortRecord(sizeof param - 4);
    memcpy(shortRecord.get(), &param, sizeof param - 4);
    EXPECT_EQ(0, listener->InitInstance(static_cast<tagParamListen3 *>(shortRecord.get())));
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), m_port));

    kt::CutShort exact(sizeof param);
    memcpy(exact.get(), &param, sizeof param);
    EXPECT_EQ(1, listener->InitInstance(static_cast<tagParamListen3 *>(exact.get())))
        << "exactly the record's readable bytes are enough";
}

struct PairCase {
    const char *name;
    bool privateNetwork;
    const char *first;
    const char *second;
};

class TcpListen3PairTest : public TcpListen3Test, public ::testing::WithParamInterface<PairCase> {};

TEST_P(TcpListen3PairTest, AClientOfEachAddressIsServedByThatAddresssThread)
{
    if (GetParam().privateNetwork)
        KT_REQUIRE_PRIVATE_NETWORK();
    DWORD first = kt::Addr(GetParam().first), second = kt::Addr(GetParam().second);
    CTcpListen3 *listener = Start(Record({first, second}));
    ASSERT_NE(nullptr, listener);
    EXPECT_EQ(m_port, kt::BoundPort(listener->m_server[0].m_sListen));
    EXPECT_EQ(m_port, kt::BoundPort(listener->m_server[1].m_sListen)) << "every address uses the same port";

    std::unique_ptr<RawTcp> atSecond = Join("to the second", second, second);
    std::unique_ptr<RawTcp> atFirst = Join("to the first", first, first);
    ASSERT_TRUE(atSecond && atFirst);
    EXPECT_EQ(GetThreadId(listener->m_server[1].m_pThread->ThreadHandle()), ThreadOf(*atSecond));
    EXPECT_EQ(GetThreadId(listener->m_server[0].m_pThread->ThreadHandle()), ThreadOf(*atFirst));
    EXPECT_NE(ThreadOf(*atFirst), ThreadOf(*atSecond));
    EXPECT_EQ(second, atSecond->localAddr());
    EXPECT_EQ(kt::Bytes("to the second"), m_reads.StreamFrom(atSecond->localAddr(), atSecond->localPort()));
}

INSTANTIATE_TEST_SUITE_P(Addresses, TcpListen3PairTest,
                         ::testing::Values(PairCase{"Loopback", false, "127.0.0.1", "127.0.0.2"},
                                           PairCase{"TwoLinks", true, "10.77.1.1", "10.77.2.1"}),
                         [](const ::testing::TestParamInfo<PairCase> &info) { return std::string(info.param.name); });

// Each address's thread reads into buffers of its own: two streams that
// arrive at the same time, one per address, each arrive whole, in pieces of
// at most 1536 bytes, zero after their bytes.
TEST_F(TcpListen3Test, StreamsAtTwoAddressesAtOnceEachArriveWholeInPieces)
{
    DWORD first = kt::Addr("127.0.0.1"), second = kt::Addr("127.0.0.2");
    m_reads.WriteOverEachBuffer(CTcpServer::kPieceBufferSize);
    ASSERT_NE(nullptr, Start(Record({first, second})));
    RawTcp a, b;
    ASSERT_TRUE(a.Connect(first, m_port, first));
    ASSERT_TRUE(b.Connect(second, m_port, second));
    std::vector<unsigned char> streams[2];
    const size_t kBlock = 65536, kBlocks = 8;
    for (size_t i = 0; i < kBlock * kBlocks; ++i) {
        streams[0].push_back(static_cast<unsigned char>(i * 7 + i / 251));
        streams[1].push_back(static_cast<unsigned char>(i * 13 + i / 509));
    }
    // Block by block in turn, so that both threads read at the same time.
    for (size_t k = 0; k < kBlocks; ++k) {
        ASSERT_TRUE(a.Send(streams[0].data() + k * kBlock, kBlock));
        ASSERT_TRUE(b.Send(streams[1].data() + k * kBlock, kBlock));
    }
    EXPECT_TRUE(m_reads.WaitForBytes(a.localAddr(), a.localPort(), streams[0].size()));
    EXPECT_TRUE(m_reads.WaitForBytes(b.localAddr(), b.localPort(), streams[1].size()));

    EXPECT_TRUE(streams[0] == m_reads.StreamFrom(a.localAddr(), a.localPort()));
    EXPECT_TRUE(streams[1] == m_reads.StreamFrom(b.localAddr(), b.localPort()));
    size_t largest = 0, dirtyAfter = 0;
    for (const kt::Received &read : m_reads.All()) {
        largest = std::max(largest, read.data.size());
        dirtyAfter += !read.zeroAfter;
    }
    EXPECT_LE(largest, static_cast<size_t>(CTcpServer::kPieceSize));
    EXPECT_EQ(0u, dirtyAfter) << "pieces with a byte other than zero after their bytes";
}

TEST_F(TcpListen3Test, AnAddressOfZeroListensOnEveryInterface)
{
    CTcpListen3 *listener = Start(Record({0}));
    ASSERT_NE(nullptr, listener);
    EXPECT_NE(nullptr, Join("one", kt::Addr("127.0.0.1")));
    EXPECT_NE(nullptr, Join("two", kt::Addr("127.0.0.2")));
}

// The capacity holds per address: with a backlog of 1 each address serves
// one client, and a second client at one address does not disturb the other.
TEST_F(TcpListen3Test, EachAddressHasACapacityOfItsOwn)
{
    DWORD first = kt::Addr("127.0.0.1"), second = kt::Addr("127.0.0.2");
    ASSERT_NE(nullptr, Start(Record({first, second}, 1)));
    std::unique_ptr<RawTcp> a = Join("a", first), b = Join("b", second);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(TurnedAway(first)) << "the second client of the first address";
    ASSERT_TRUE(b->Send("b again"));
    ASSERT_TRUE(a->Send("a again"));
    EXPECT_TRUE(m_reads.WaitForBytes(b->localAddr(), b->localPort(), 8));
    EXPECT_TRUE(m_reads.WaitForBytes(a->localAddr(), a->localPort(), 8));
}

TEST_F(TcpListen3Test, AFailureAtALaterAddressStopsAndClosesTheEarlierOnes)
{
    tagParamListen3 param = Record({kt::Loopback(), kt::Addr("10.99.99.99")});  // not ours
    CTcpListen3 *listener = Make();
    EXPECT_EQ(0, listener->InitInstance(&param));
    for (const CTcpServer &server : listener->m_server)
        EXPECT_FALSE(server.IsOpen());
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), m_port));
    listener->Release();

    param.dwLocalAddr[1] = kt::Addr("127.0.0.2");
    ASSERT_EQ(1, listener->InitInstance(&param)) << "nothing of the failed start is in the way";
    EXPECT_NE(nullptr, Join("works", kt::Loopback()));
}

TEST_F(TcpListen3Test, ARefusedPriorityStopsTheThreadsAndClosesEverything)
{
    tagParamListen3 param = Record({kt::Loopback(), kt::Addr("127.0.0.2")});
    param.nPriority = 12345;
    CTcpListen3 *listener = Make();
    EXPECT_EQ(0, listener->InitInstance(&param));
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), m_port));
    param.nPriority = THREAD_PRIORITY_BELOW_NORMAL;
    ASSERT_EQ(1, listener->InitInstance(&param));
    EXPECT_EQ(THREAD_PRIORITY_BELOW_NORMAL, GetThreadPriority(listener->m_server[1].m_pThread->ThreadHandle()));
}

TEST_F(TcpListen3Test, ReleaseStopsEveryAddress)
{
    DWORD first = kt::Addr("127.0.0.1"), second = kt::Addr("127.0.0.2");
    CTcpListen3 *listener = Start(Record({first, second}));
    ASSERT_NE(nullptr, listener);
    std::unique_ptr<RawTcp> a = Join("a", first), b = Join("b", second);
    ASSERT_TRUE(a && b);
    HANDLE threads[2] = {kt::DuplicateThread(listener->m_server[0].m_pThread->ThreadHandle()),
                         kt::DuplicateThread(listener->m_server[1].m_pThread->ThreadHandle())};

    listener->Release();
    EXPECT_TRUE(kt::ThreadEnds(threads[0]));
    EXPECT_TRUE(kt::ThreadEnds(threads[1]));
    EXPECT_TRUE(a->WaitClosed());
    EXPECT_TRUE(b->WaitClosed());
    EXPECT_TRUE(kt::ConnectRefused(first, m_port));
    EXPECT_TRUE(kt::ConnectRefused(second, m_port));
    listener->Release();
}

TEST_F(TcpListen3Test, DeletingAStartedListenerReleasesItFirst)
{
    CTcpListen3 *listener = Start(Record({kt::Loopback()}));
    ASSERT_NE(nullptr, listener);
    std::unique_ptr<RawTcp> client = Join("hi");
    ASSERT_NE(nullptr, client);
    ExpectDeletingReleases(listener, kt::DuplicateThread(listener->m_server[0].m_pThread->ThreadHandle()), *client, kt::Loopback());
}

TEST_F(TcpListen3Test, ASecondStartIsRefusedAndLeavesTheRunningListenerAlone)
{
    CTcpListen3 *listener = Start(Record({kt::Loopback()}));
    ASSERT_NE(nullptr, listener);
    int port = m_port;
    tagParamListen3 other = Record({kt::Addr("127.0.0.2")});
    EXPECT_EQ(0, listener->InitInstance(&other));
    EXPECT_FALSE(listener->m_server[1].IsOpen());
    m_port = port;
    EXPECT_NE(nullptr, Join("still serving", kt::Loopback()));
}

}  // namespace
