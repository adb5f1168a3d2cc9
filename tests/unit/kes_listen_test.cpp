// CKesListen, its receive thread and echo, and the process-wide listener.
#include <string.h>
#include <ws2tcpip.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "datagram/udp_socket.h"
#include "test_support.h"

namespace {

using kt::Loopback;

const char kEcho[] = "Echo";

class ListenTest : public kt::WinsockTest {
protected:
    tagParamListen Param(BOOL echo = FALSE, ReceiveProc receive = kt::Collector::Receive, void *user = nullptr)
    {
        tagParamListen p;
        p.dwLocalAddr = Loopback();
        p.pfnReceive = receive;
        p.pUserData = user != nullptr ? user : &seen;
        p.bEcho = echo;
        return p;
    }
    static int Port(const CKesListen &l) { return kt::BoundPort(l.m_pSocket->GetSocket()); }
    static int EchoSenderPort(const CKesListen &l) { return kt::BoundPort(l.m_echoSend.m_pSocket->GetSocket()); }
    static bool IsEcho(const kt::Datagram &d)
    {
        return d.data.size() == 4 && memcmp(d.data.data(), kEcho, 4) == 0;
    }

    kt::Collector seen;
    kt::RawUdp sender;
};

TEST_F(ListenTest, DeliversEachDatagramWithItsSourceAndUserDataOnTheReceiveThread)
{
    CKesListen listener;
    tagParamListen p = Param();
    ASSERT_EQ(1, listener.InitInstance(&p));
    ASSERT_NE(nullptr, listener.m_hThread);
    ASSERT_TRUE(sender.SendTo("first", 5, Loopback(), Port(listener)));
    ASSERT_TRUE(sender.SendTo("second!", 7, Loopback(), Port(listener)));
    ASSERT_TRUE(seen.WaitFor(2));
    std::vector<kt::Received> all = seen.All();
    EXPECT_EQ("first", std::string(all[0].data.begin(), all[0].data.end()));
    EXPECT_EQ("second!", std::string(all[1].data.begin(), all[1].data.end()));
    for (const kt::Received &d : all) {
        EXPECT_EQ(Loopback(), d.addr);
        EXPECT_EQ(sender.port(), d.port);
        EXPECT_EQ(&seen, d.user);
        EXPECT_EQ(GetThreadId(listener.m_hThread), d.threadId);
    }
    listener.Release();
    EXPECT_EQ(nullptr, listener.m_pSocket);
    EXPECT_EQ(nullptr, listener.m_hThread);
}

TEST_F(ListenTest, EchoIsExactlyFourBytesToTheSendersAddressOnTheEchoPort)
{
    kt::RawUdp echoPort(Loopback(), ECHO_PORT);
    ASSERT_TRUE(echoPort.ok());
    CKesListen listener;
    tagParamListen p = Param(TRUE);
    ASSERT_EQ(1, listener.InitInstance(&p));
    ASSERT_TRUE(sender.SendTo("ping", 4, Loopback(), Port(listener)));
    ASSERT_TRUE(sender.SendTo("", 0, Loopback(), Port(listener)));  // empty datagrams are answered too

    kt::Datagram echo;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(echoPort.Receive(&echo));
        EXPECT_TRUE(IsEcho(echo)) << "got " << echo.data.size() << " bytes";
        EXPECT_EQ(EchoSenderPort(listener), echo.port) << "echoes leave from the echo sender's own socket";
    }
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_EQ(0u, seen.At(1).data.size());
    listener.Release();
}

TEST_F(ListenTest, DatagramsFromTheEchoPortAreDeliveredButNeverAnswered)
{
    kt::RawUdp echoPort(Loopback(), ECHO_PORT);
    ASSERT_TRUE(echoPort.ok());
    CKesListen listener;
    tagParamListen p = Param(TRUE);
    ASSERT_EQ(1, listener.InitInstance(&p));
    ASSERT_TRUE(echoPort.SendTo("from 37102", 10, Loopback(), Port(listener)));
    ASSERT_TRUE(sender.SendTo("from elsewhere", 14, Loopback(), Port(listener)));
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_EQ(ECHO_PORT, seen.At(0).port);
    // Each echo is sent before its callback runs, so both would be queued by now.
    std::vector<kt::Datagram> echoes = echoPort.Drain();
    ASSERT_EQ(1u, echoes.size()) << "only the datagram from another port is answered";
    EXPECT_TRUE(IsEcho(echoes[0]));
    listener.Release();
}

TEST_F(ListenTest, WithoutEchoNothingIsSentAndKesListenNeverEchoes)
{
    kt::RawUdp echoPort(Loopback(), ECHO_PORT);
    ASSERT_TRUE(echoPort.ok());
    CKesListen listener;
    tagParamListen p = Param(FALSE);
    ASSERT_EQ(1, listener.InitInstance(&p));
    ASSERT_TRUE(sender.SendTo("quiet", 5, Loopback(), Port(listener)));
    ASSERT_TRUE(seen.WaitFor(1));
    listener.Release();

    int port = kt::FreeUdpPort();
    ASSERT_EQ(1, KesListen(KES_MODE_UNICAST, kt::Collector::Receive, port, 0, &seen, Loopback()));
    ASSERT_TRUE(sender.SendTo("process-wide", 12, Loopback(), port));
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_EQ(1, KesStopListen());
    EXPECT_TRUE(echoPort.Drain().empty());
}

// What a host may do with the buffer it is handed: it is writable, so a
// callback may end the datagram as text, decode it in place or use the rest as
// scratch space.
struct Scribble {
    const char *what;
    void (*write)(unsigned char *bytes, int nLength);
};

const Scribble kScribbles[] = {
    {"nothing (a longer datagram's bytes stay behind)", [](unsigned char *, int) {}},
    {"over the datagram's own bytes", [](unsigned char *bytes, int nLength) { memset(bytes, 0xEE, nLength); }},
    {"on the byte after the datagram", [](unsigned char *bytes, int nLength) { bytes[nLength] = 'X'; }},
    {"far beyond the datagram",
     [](unsigned char *bytes, int nLength) {
         bytes[nLength + 30000] = 'X';
         bytes[65535] = 'X';
     }},
};

// The lengths of a burst: each shorter than or as long as the one before.
const int kBurstLengths[] = {1000, 10, 10, 3, 0};
const int kBurstSize = sizeof kBurstLengths / sizeof kBurstLengths[0];

// Checks that every byte after the datagram is zero, then scribbles.
struct TailCheck {
    const Scribble *scribble;
    int calls = 0;
    std::vector<int> dirtyLengths;  // datagrams handed over with a byte after them that was not zero
    kt::Gate done;
    HANDLE each = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // set after every datagram
    ~TailCheck() { CloseHandle(each); }
};

void __cdecl CheckTailThenScribble(void *pData, int nLength, void *pUserData, unsigned long, int)
{
    TailCheck *check = static_cast<TailCheck *>(pUserData);
    unsigned char *bytes = static_cast<unsigned char *>(pData);
    for (int i = nLength; i < 65536; ++i) {
        if (bytes[i] != 0) {
            check->dirtyLengths.push_back(nLength);
            break;
        }
    }
    check->scribble->write(bytes, nLength);
    if (++check->calls == kBurstSize)
        check->done.Open();
    SetEvent(check->each);
}

// The two datagram listeners, which share one receive loop: a CKesListen, or a
// CKesListen3 on one interface.
class DatagramListener {
public:
    explicit DatagramListener(bool multiInterface) : m_multiInterface(multiInterface) {}
    ~DatagramListener() { Release(); }
    bool Start(int port, ReceiveProc proc, void *pUserData)
    {
        if (m_multiInterface) {
            tagParamListen3 p;
            p.nPort = port;
            p.dwLocalAddr[0] = Loopback();
            p.nCount = 1;
            p.pfnReceive = proc;
            p.pUserData = pUserData;
            return m_three.InitInstance(&p) == 1;
        }
        tagParamListen p;
        p.nPort = port;
        p.dwLocalAddr = Loopback();
        p.pfnReceive = proc;
        p.pUserData = pUserData;
        return m_one.InitInstance(&p) == 1;
    }
    void Release()
    {
        m_one.Release();
        m_three.Release();
    }

private:
    bool m_multiInterface;
    CKesListen m_one;
    CKesListen3 m_three;
};

// The datagrams come as one burst, or one at a time (each after the listener
// found the socket empty and slept: the receive that found nothing wrote
// nothing, but what the callback wrote before it must still go).
TEST_F(ListenTest, TheBufferIsClearedBeforeEveryDatagramWhateverTheCallbackWrote)
{
    for (bool oneAtATime : {false, true})
    for (bool multiInterface : {false, true}) {
        for (const Scribble &scribble : kScribbles) {
            SCOPED_TRACE(std::string(multiInterface ? "CKesListen3" : "CKesListen") + ", the callback writes " +
                         scribble.what + (oneAtATime ? ", one datagram at a time" : ", a burst"));
            TailCheck check;
            check.scribble = &scribble;
            DatagramListener listener(multiInterface);
            int port = kt::FreeUdpPort();
            ASSERT_TRUE(listener.Start(port, CheckTailThenScribble, &check));
            for (int length : kBurstLengths) {
                std::vector<char> bytes(length, 'A');
                ASSERT_TRUE(sender.SendTo(bytes.data(), length, Loopback(), port));
                if (oneAtATime) {
                    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(check.each, kt::Bound()));
                }
            }
            ASSERT_TRUE(check.done.Wait()) << check.calls << " of " << kBurstSize << " datagrams arrived";
            listener.Release();
            EXPECT_EQ(std::vector<int>{}, check.dirtyLengths)
                << "lengths of the datagrams whose buffer held something after them";
        }
    }
}

// The listener reads every datagram that waits before it sleeps again; the
// datagrams of many bursts, each arriving while the one before is being read,
// all arrive, in order, and none is left waiting unseen.
TEST_F(ListenTest, BurstsAreDeliveredWholeAndInOrder)
{
    const int kBursts = 300, kBurst = 8;  // a burst fits the socket's receive buffer
    CKesListen listener;
    tagParamListen p = Param();
    ASSERT_EQ(1, listener.InitInstance(&p));
    for (int burst = 0; burst < kBursts; ++burst) {
        for (int i = 0; i < kBurst; ++i) {
            int n = burst * kBurst + i;
            ASSERT_TRUE(sender.SendTo(&n, sizeof n, Loopback(), Port(listener)));
        }
        ASSERT_TRUE(seen.WaitFor((burst + 1) * kBurst)) << "burst " << burst << " did not arrive whole";
    }
    std::vector<kt::Received> all = seen.All();
    ASSERT_EQ(static_cast<size_t>(kBursts * kBurst), all.size());
    for (int n = 0; n < kBursts * kBurst; ++n) {
        int got = -1;
        memcpy(&got, all[n].data.data(), sizeof got);
        ASSERT_EQ(n, got);
    }
    listener.Release();
}

TEST_F(ListenTest, WithoutACallableCallbackTheFirstDatagramIsAnsweredAndTheThreadEnds)
{
    kt::RawUdp echoPort(Loopback(), ECHO_PORT);
    ASSERT_TRUE(echoPort.ok());
    void *notCode = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    for (ReceiveProc callback : {static_cast<ReceiveProc>(nullptr), reinterpret_cast<ReceiveProc>(notCode)}) {
        CKesListen listener;
        tagParamListen p = Param(TRUE, callback);
        ASSERT_EQ(1, listener.InitInstance(&p));
        HANDLE thread = kt::DuplicateThread(listener.m_hThread);
        ASSERT_TRUE(sender.SendTo("one", 3, Loopback(), Port(listener)));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kt::Bound())) << "the thread ends";
        ASSERT_TRUE(sender.SendTo("two", 3, Loopback(), Port(listener)));
        std::vector<kt::Datagram> echoes = echoPort.Drain();
        EXPECT_EQ(1u, echoes.size()) << "the first datagram only is answered";
        EXPECT_NE(nullptr, listener.m_hThread) << "the listener stays running until released";
        listener.Release();
        EXPECT_EQ(nullptr, listener.m_hThread);
        CloseHandle(thread);
    }
    VirtualFree(notCode, 0, MEM_RELEASE);
}

TEST_F(ListenTest, KesListenRunsOneProcessWideListener)
{
    EXPECT_EQ(0, KesStopListen()) << "nothing to stop";
    kt::Collector other;
    int port = kt::FreeUdpPort();
    ASSERT_EQ(1, KesListen(KES_MODE_UNICAST, kt::Collector::Receive, port, 0, &seen, Loopback()));
    EXPECT_EQ(0, KesListen(KES_MODE_UNICAST, kt::Collector::Receive, port + 1, 0, &other, Loopback()));
    ASSERT_TRUE(sender.SendTo("still the first", 15, Loopback(), port));
    ASSERT_TRUE(seen.WaitFor(1)) << "the first listener keeps running";
    EXPECT_EQ(0u, other.Count());
    EXPECT_EQ(1, KesStopListen());
    EXPECT_EQ(0, KesStopListen());
    EXPECT_TRUE(kt::UdpPortFree(Loopback(), port));
}

TEST_F(ListenTest, ReleaseIsHarmlessWhenIdleAndFreesThePort)
{
    CKesListen listener;
    listener.Release();  // before InitInstance
    tagParamListen p = Param();
    ASSERT_EQ(1, listener.InitInstance(&p));
    int port = Port(listener);
    EXPECT_EQ(0, listener.InitInstance(&p)) << "a running listener is left as it is";
    ASSERT_TRUE(sender.SendTo("still", 5, Loopback(), port));
    ASSERT_TRUE(seen.WaitFor(1));
    listener.Release();
    listener.Release();
    EXPECT_EQ(nullptr, listener.m_pSocket);
    EXPECT_EQ(nullptr, listener.m_echoSend.m_pSocket);
    EXPECT_TRUE(kt::UdpPortFree(Loopback(), port));
    ASSERT_EQ(1, listener.InitInstance(&p)) << "an idle listener may start again";
    listener.Release();
}

TEST_F(ListenTest, FailedStartsAcquireNothing)
{
    int port = kt::FreeUdpPort();
    void *unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    tagParamListen unjoinable = Param();
    unjoinable.nMode = KES_MODE_MULTICAST;
    unjoinable.dwGroupAddr = kt::Addr("10.1.2.3");  // not a group
    unjoinable.nPort = port;
    tagParamListen badPriority = Param();
    badPriority.nPort = port;
    badPriority.nPriority = 100;  // SetThreadPriority refuses it after the thread runs
    // Each start fails and leaves the listener holding nothing.
    auto start = [&](tagParamListen *record) {
        return [&, record]() -> long {
            CKesListen listener;
            long started = listener.InitInstance(record);
            EXPECT_EQ(nullptr, listener.m_pSocket);
            EXPECT_EQ(nullptr, listener.m_hThread);
            EXPECT_EQ(nullptr, listener.m_echoSend.m_pSocket);
            return started;
        };
    };
    kt::ExpectRows({{"null record", start(nullptr), 0},
                    {"unreadable record", start(static_cast<tagParamListen *>(unreadable)), 0},
                    {"group that cannot be joined", start(&unjoinable), 0},
                    {"priority that cannot be set", start(&badPriority), 0}},
                   {[&] { return kt::Holds(kt::UdpPortFree(Loopback(), port), "the port is still held"); }});
    VirtualFree(unreadable, 0, MEM_RELEASE);
}

TEST_F(ListenTest, ThreadPriorityIsTheRecords)
{
    CKesListen listener;
    tagParamListen p = Param();
    p.nPriority = THREAD_PRIORITY_ABOVE_NORMAL;
    ASSERT_EQ(1, listener.InitInstance(&p));
    EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(listener.m_hThread));
    listener.Release();
}

TEST_F(ListenTest, ModesOtherThanMulticastListenPlainly)
{
    for (int mode : {0, 1, 3, -1}) {
        SCOPED_TRACE(mode);
        kt::Collector got;
        CKesListen listener;
        tagParamListen p = Param(FALSE, kt::Collector::Receive, &got);
        p.nMode = mode;
        p.dwGroupAddr = kt::Addr("10.1.2.3");  // ignored outside mode 2
        ASSERT_EQ(1, listener.InitInstance(&p));
        ASSERT_TRUE(sender.SendTo("plain", 5, Loopback(), Port(listener)));
        EXPECT_TRUE(got.WaitFor(1));
        listener.Release();
    }
}

TEST_F(ListenTest, CopiesShareTheSocketAndThread)
{
    CKesListen listener;
    tagParamListen p = Param();
    ASSERT_EQ(1, listener.InitInstance(&p));
    CKesListen copy(listener);
    EXPECT_EQ(listener.m_pSocket, copy.m_pSocket);
    EXPECT_EQ(listener.m_hThread, copy.m_hThread);
    EXPECT_EQ(listener.m_echoSend.m_pSocket, copy.m_echoSend.m_pSocket);
    CKesListen assigned;
    assigned = listener;
    EXPECT_EQ(listener.m_pSocket, assigned.m_pSocket);
    copy.Release();  // only one of them may release: forget the others
    listener.m_pSocket = assigned.m_pSocket = nullptr;
    listener.m_hThread = assigned.m_hThread = nullptr;
}

// A callback that holds its thread until the test lets it go.
struct SlowCallback {
    kt::Gate entered;
    kt::Gate leave;
};

void __cdecl WaitInCallback(void *, int, void *pUserData, unsigned long, int)
{
    SlowCallback *state = static_cast<SlowCallback *>(pUserData);
    state->entered.Open();
    state->leave.Wait();
}

// Holds its thread in the first call only, and counts every call.
struct HeldFirstCall {
    SlowCallback first;
    std::atomic<int> calls{0};
};

void __cdecl HoldFirstCall(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    HeldFirstCall *state = static_cast<HeldFirstCall *>(pUserData);
    if (state->calls++ == 0)
        WaitInCallback(pData, nLength, &state->first, dwAddr, nPort);
}

TEST_F(ListenTest, AStopRequestWinsOverDatagramsStillWaiting)
{
    HeldFirstCall state;
    CKesListen listener;
    tagParamListen p = Param(FALSE, HoldFirstCall, &state);
    p.dwStopTimeout = kt::Bound();
    ASSERT_EQ(1, listener.InitInstance(&p));
    ASSERT_TRUE(sender.SendTo("first", 5, Loopback(), Port(listener)));
    ASSERT_TRUE(state.first.entered.Wait());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sender.SendTo("waiting", 7, Loopback(), Port(listener)));
    HANDLE stop = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), listener.m_pSocket->m_hStopEvent, GetCurrentProcess(), &stop,
                                0, FALSE, DUPLICATE_SAME_ACCESS));

    std::thread releaser([&] { listener.Release(); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop, kt::Bound())) << "Release did not ask the thread to stop";
    state.first.leave.Open();  // the thread comes back from the callback with datagrams waiting
    releaser.join();
    EXPECT_EQ(1, state.calls) << "datagrams were delivered after the stop request";
    EXPECT_EQ(nullptr, listener.m_hThread);
    CloseHandle(stop);
}

TEST_F(ListenTest, AThreadGivenUpBeforeItRanNeverTouchesTheDestroyedListener)
{
    // With no stop time-out, Release usually gives up on a thread that has not
    // run yet, or is reading its first datagram; the thread then starts on a
    // listener that is gone.
    alignas(CKesListen) unsigned char storage[sizeof(CKesListen)];
    for (int i = 0; i < 200; ++i) {
        CKesListen *listener = new (storage) CKesListen;
        tagParamListen p = Param(TRUE);
        p.dwStopTimeout = 0;
        ASSERT_EQ(1, listener->InitInstance(&p));
        HANDLE thread = kt::DuplicateThread(listener->m_hThread);
        sender.SendTo("now", 3, Loopback(), Port(*listener));
        listener->Release();
        listener->~CKesListen();
        memset(storage, 0xDD, sizeof storage);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kt::Bound())) << "round " << i;
        CloseHandle(thread);
    }
}

TEST_F(ListenTest, MulticastListenerJoinsTheGroupAndLeavesItOnRelease)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    DWORD group = kt::Addr("239.77.0.4");
    CKesListen listener;
    tagParamListen p = Param();
    p.nMode = KES_MODE_MULTICAST;
    p.dwGroupAddr = group;
    p.dwLocalAddr = 0;  // Linux hands group datagrams only to sockets bound to 0.0.0.0
    ASSERT_EQ(1, listener.InitInstance(&p));
    EXPECT_EQ(group, listener.m_pSocket->m_dwGroup);
    DWORD viaLoopback = Loopback();
    setsockopt(sender.socket(), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char *>(&viaLoopback),
               sizeof viaLoopback);
    ASSERT_TRUE(sender.SendTo("to the group", 12, group, Port(listener)));
    ASSERT_TRUE(seen.WaitFor(1));
    kt::Received got = seen.At(0);
    EXPECT_EQ("to the group", std::string(got.data.begin(), got.data.end()));
    listener.Release();
}

}  // namespace
