// Nothing leaked: a thousand set-up and release cycles of every class leave
// the process holding what it held before, counted by the platform (handles by
// kind, sockets, threads, heap and private memory; under Wine also the Linux
// threads and descriptors of the process).
#include <functional>
#include <iostream>
#include <memory>

#include "census.h"
#include "stream_support.h"
#include "traffic.h"

namespace {

// What one cycle may use that lives across the cycles, made before the census.
struct Bench {
    kt::RawUdp sink;          // where the senders send
    int udpPort;              // free on every local address, for the listeners
    std::unique_ptr<CTcpListenObject, void (*)(CTcpListenObject *)> server{nullptr, nullptr};
    int tcpPort = 0;          // where server listens, for the stream sender
    kt::Gate arrived;         // opened by server when bytes come in
    static void __cdecl Received(void *, int nLength, void *pUserData, unsigned long, int)
    {
        if (nLength > 0)
            static_cast<Bench *>(pUserData)->arrived.Open();
    }
};

// One set-up, a little use and a release; false if a call failed.
struct Case {
    const char *name;
    std::function<bool(Bench &)> cycle;
};

tagParamListen ListenParams(int port)
{
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.nPort = port;
    return param;
}

tagParamListen3 Listen3Params(int port)
{
    tagParamListen3 param;
    param.nCount = 2;
    param.dwLocalAddr[0] = kt::Loopback();
    param.dwLocalAddr[1] = kt::Addr("127.0.0.2");
    param.nPort = port;
    return param;
}

tagParamSend SendParams(const Bench &bench)
{
    tagParamSend param;
    param.dwLocalAddr = kt::Loopback();
    param.dwDestAddr = kt::Loopback();
    param.nDestPort = bench.sink.port();
    return param;
}

char g_bytes[] = "cycle";

const Case kCases[] = {
    {"CKesSend",
     [](Bench &b) {
         CKesSend sender;
         tagParamSend param = SendParams(b);
         bool ok = sender.InitInstance(&param) == 1 && sender.Send(g_bytes, sizeof g_bytes, 0, 0) == 1;
         sender.Release();
         return ok;
     }},
    {"CKesListen",
     [](Bench &b) {
         CKesListen listener;
         tagParamListen param = ListenParams(b.udpPort);
         bool ok = listener.InitInstance(&param) == 1;
         listener.Release();
         return ok;
     }},
    {"KesListen",
     [](Bench &b) {
         return KesListen(KES_MODE_UNICAST, nullptr, b.udpPort, 0, nullptr, kt::Loopback()) == 1 &&
                KesStopListen() == 1;
     }},
    {"CKesSend2",
     [](Bench &b) {
         // Sets up and releases its echo listener; a send would wait for an
         // echo that the sink never gives.
         CKesSend2 sender;
         tagParamSend param = SendParams(b);
         bool ok = sender.InitInstance(&param) == 1;
         sender.Release();
         return ok;
     }},
    {"CKesSend3",
     [](Bench &b) {
         CKesSend3 sender;
         tagParamSend3 param;
         param.nCount = 2;
         param.dwLocalAddr[0] = kt::Loopback();
         param.dwLocalAddr[1] = kt::Addr("127.0.0.2");
         param.dwDestAddr = kt::Loopback();
         param.nDestPort = b.sink.port();
         bool ok = sender.InitInstance(&param) == 1 &&
                   sender.Send(reinterpret_cast<unsigned char *>(g_bytes), sizeof g_bytes, 0, 0) == 1;
         sender.Release();
         return ok;
     }},
    {"CKesListen3",
     [](Bench &b) {
         CKesListen3 listener;
         tagParamListen3 param = Listen3Params(b.udpPort);
         bool ok = listener.InitInstance(&param) == 1;
         listener.Release();
         return ok;
     }},
    {"CTcpListen",
     [](Bench &) {
         CTcpListenObject *listener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
         tagParamListen param = ListenParams(0);
         bool ok = listener != nullptr && listener->InitInstance(&param) == 1;
         if (listener != nullptr)
             listener->Release();
         kt::DeleteStreamObject(listener);
         return ok;
     }},
    {"CTcpListen3",
     [](Bench &) {
         CTcpListen3Object *listener = static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3));
         tagParamListen3 param = Listen3Params(0);
         bool ok = listener != nullptr && listener->InitInstance(&param) == 1;
         if (listener != nullptr)
             listener->Release();
         kt::DeleteStreamObject(listener);
         return ok;
     }},
    {"CTcpSend",
     [](Bench &b) {
         // Connects to the bench's listener, which closes its side when it
         // sees the close.
         CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
         tagParamSend param = SendParams(b);
         param.nDestPort = b.tcpPort;
         // Each sender waits for its bytes to arrive: senders that came and
         // went faster than the listener reads would fill its places, and
         // those beyond them are turned away by design.
         ResetEvent(b.arrived.handle());
         bool ok = sender != nullptr && sender->InitInstance(&param) == 1 &&
                   sender->Send(g_bytes, sizeof g_bytes) == 1 && b.arrived.Wait();
         if (sender != nullptr)
             sender->Release();
         kt::DeleteStreamObject(sender);
         return ok;
     }},
};

class LeakTest : public kt::WinsockTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override
    {
        kt::WinsockTest::SetUp();
        m_bench.udpPort = kt::FreeUdpPort();
        m_bench.tcpPort = kt::FreeTcpPort();
        m_bench.server = {static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN)),
                          [](CTcpListenObject *o) {
                              o->Release();
                              o->Delete();
                          }};
        tagParamListen param = ListenParams(m_bench.tcpPort);
        param.nBacklog = 62;
        param.pfnReceive = Bench::Received;
        param.pUserData = &m_bench;
        ASSERT_EQ(1, m_bench.server->InitInstance(&param));
    }

    Bench m_bench;
};

TEST_P(LeakTest, AThousandCyclesGiveBackEverything)
{
    const int cycles = 1000 * kt::Soak();
    // The first cycles are not counted: what the platform keeps for good after
    // the first use (a thread's Winsock data, a loaded module) is no leak.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(GetParam().cycle(m_bench)) << "warm-up cycle " << i;
    const kt::Census before = kt::Census::Take();
    const DWORD start = GetTickCount();
    int failed = 0;
    for (int i = 0; i < cycles; ++i)
        failed += GetParam().cycle(m_bench) ? 0 : 1;
    EXPECT_EQ(0, failed) << "cycles that failed";
    ::testing::AssertionResult settled = kt::SettlesBackTo(before);
    EXPECT_TRUE(settled);
    const kt::Census after = kt::Census::Take();
    std::cout << GetParam().name << ": " << cycles << " cycles in " << GetTickCount() - start
              << " ms\n  before: " << before.Describe() << "\n  after:  " << after.Describe() << std::endl;
}

INSTANTIATE_TEST_SUITE_P(EveryClass, LeakTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace

// The census itself: what a cycle could leak, held on purpose, is counted and
// named, and gone again once given back.
class CensusTest : public kt::WinsockTest {};

DWORD WINAPI WaitForStop(void *stop)
{
    return WaitForSingleObject(stop, INFINITE);
}

TEST_F(CensusTest, SeesAHeldEventSocketAndThreadUntilTheyAreGivenBack)
{
    const kt::Census before = kt::Census::Take();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    HANDLE thread = CreateThread(nullptr, 0, WaitForStop, event, 0, nullptr);
    ASSERT_TRUE(event != nullptr && socket != INVALID_SOCKET && thread != nullptr);

    const kt::Census held = kt::Census::Take();
    EXPECT_FALSE(kt::NothingHeldBeyond(before, held));
    EXPECT_GE(held.handles, before.handles + 3) << held.Describe();
    EXPECT_EQ(before.sockets + 1, held.sockets) << held.Describe();
    EXPECT_EQ(before.threads + 1, held.threads) << held.Describe();
    EXPECT_GE(held.kinds.at("Event"), 1) << held.Describe();

    SetEvent(event);
    WaitForSingleObject(thread, kt::Bound());
    CloseHandle(thread);
    closesocket(socket);
    CloseHandle(event);
    EXPECT_TRUE(kt::SettlesBackTo(before));
}
