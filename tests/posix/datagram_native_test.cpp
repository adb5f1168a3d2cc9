// The Linux library's datagram classes, as a host uses them: linked with
// libkesnet.so, through kesnet.h alone. Everything goes over loopback;
// multicast only inside a network namespace of the test's own
// (tests/posix/private_loopback.sh), where loopback is the only interface.
#include "kesnet.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const DWORD kLoopback = htonl(INADDR_LOOPBACK);

// Every wait is bounded, generously, and scaled for slow machines and
// sanitizers by KESNET_WAIT_SCALE.
std::chrono::milliseconds Bound(int milliseconds = 10000)
{
    const char *scale = getenv("KESNET_WAIT_SCALE");
    int factor = scale != nullptr && atoi(scale) > 0 ? atoi(scale) : 1;
    return std::chrono::milliseconds(milliseconds * factor);
}

// A UDP port on loopback that no socket holds at the moment of asking.
int FreePort()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t length = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// What the callbacks were given, and a bounded wait for it.
struct Datagram {
    std::string bytes;
    unsigned long dwAddr;
    int nPort;
};

class Collector {
public:
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        Collector *self = static_cast<Collector *>(pUserData);
        Datagram d{std::string(static_cast<char *>(pData), static_cast<size_t>(nLength)), dwAddr, nPort};
        std::function<void(const Datagram &)> hook;
        {
            std::lock_guard<std::mutex> hold(self->m_lock);
            hook = self->m_hook;
        }
        if (hook)
            hook(d);
        // Recorded last, and signalled under the lock: once WaitFor has seen
        // a datagram, its callback touches the collector no more, and the
        // test may let it go (a callback that released its own listener is
        // waited for by no one else).
        std::lock_guard<std::mutex> hold(self->m_lock);
        self->m_received.push_back(d);
        self->m_changed.notify_all();
    }

    // Runs on the receive thread for each datagram, before it is recorded.
    void OnEach(std::function<void(const Datagram &)> hook)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_hook = std::move(hook);
    }

    bool WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, Bound(), [&] { return m_received.size() >= count; });
    }

    std::vector<Datagram> Received()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_received;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Datagram> m_received;
    std::function<void(const Datagram &)> m_hook;
};

tagParamListen ListenOn(int nPort, Collector *collector, BOOL bEcho = FALSE)
{
    tagParamListen p;
    p.dwLocalAddr = kLoopback;
    p.nPort = nPort;
    p.pfnReceive = Collector::Receive;
    p.pUserData = collector;
    p.bEcho = bEcho;
    return p;
}

class Datagrams : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, KesInitInstance()); }
    void TearDown() override { EXPECT_EQ(1, KesExitInstance()); }
};

TEST(Library, EachStartNeedsItsOwnStop)
{
    EXPECT_EQ(0, KesExitInstance()) << "no start is open";
    EXPECT_EQ(1, KesInitInstance());
    EXPECT_EQ(1, KesInitInstance());
    EXPECT_EQ(1, KesExitInstance());
    EXPECT_EQ(1, KesExitInstance());
    EXPECT_EQ(0, KesExitInstance());
}

TEST(Library, RecordsAndClassesHaveTheLayoutOfThe64BitDll)
{
    EXPECT_EQ(24u, sizeof(tagParamSend));
    EXPECT_EQ(56u, sizeof(tagParamListen));
    EXPECT_EQ(52u, sizeof(tagParamSend3));
    EXPECT_EQ(88u, sizeof(tagParamListen3));
    EXPECT_EQ(208u, sizeof(CKesSend2));
    tagParamListen p;
    EXPECT_EQ(56u, p.dwSize);
    EXPECT_EQ(KES_MODE_UNICAST, p.nMode);
    EXPECT_EQ(1000u, p.dwStopTimeout);
    EXPECT_EQ(5, p.nBacklog);
    tagParamSend s;
    EXPECT_EQ(100u, s.dwEchoTimeout);
}

// One datagram of each size reaches the callback whole, with the sender's
// address and port.
TEST_F(Datagrams, KesSendReachesTheListenerWhole)
{
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got);
    ASSERT_EQ(1, listener.InitInstance(&p));
    EXPECT_NE(nullptr, listener.m_hThread);

    const size_t sizes[] = {1, 1400, 8192, 65507};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        std::string bytes(sizes[i], '\0');
        for (size_t b = 0; b < bytes.size(); ++b)
            bytes[b] = static_cast<char>('a' + (b * 7 + i) % 26);
        ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, bytes.data(), static_cast<DWORD>(bytes.size()), kLoopback, port,
                             kLoopback))
            << sizes[i] << " bytes";
        ASSERT_TRUE(got.WaitFor(i + 1)) << sizes[i] << " bytes";
        Datagram d = got.Received()[i];
        EXPECT_EQ(bytes, d.bytes) << sizes[i] << " bytes";
        EXPECT_EQ(kLoopback, d.dwAddr);
        EXPECT_NE(0, d.nPort);
        EXPECT_NE(port, d.nPort) << "KesSend sends from a port of the system's choice";
    }
    listener.Release();
    EXPECT_EQ(nullptr, listener.m_hThread);
    EXPECT_EQ(nullptr, listener.m_pSocket);
}

TEST_F(Datagrams, CKesSendUsesTheRecordsDestinationUnlessTold)
{
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got);
    ASSERT_EQ(1, listener.InitInstance(&p));

    tagParamSend to;
    to.dwLocalAddr = kLoopback;
    to.dwDestAddr = kLoopback;
    to.nDestPort = port;
    CKesSend sender;
    ASSERT_EQ(1, sender.InitInstance(&to));
    EXPECT_EQ(0, sender.InitInstance(&to)) << "already set up";
    EXPECT_EQ(1, sender.Send(const_cast<char *>("first"), 5, 0, 0));
    EXPECT_EQ(1, sender.Send(const_cast<char *>("second"), 6, kLoopback, port));
    ASSERT_TRUE(got.WaitFor(2));
    EXPECT_EQ("first", got.Received()[0].bytes);
    EXPECT_EQ("second", got.Received()[1].bytes);
    sender.Release();
    EXPECT_EQ(0, sender.Send(const_cast<char *>("late"), 4, 0, 0)) << "released";
    listener.Release();
}

TEST_F(Datagrams, BadPointersAndRecordsAreRefused)
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, page);
    EXPECT_EQ(0, KesSend(KES_MODE_UNICAST, nullptr, 5, kLoopback, 9, 0));
    EXPECT_EQ(0, KesSend(KES_MODE_UNICAST, page, 5, kLoopback, 9, 0));
    CKesListen listener;
    EXPECT_EQ(0, listener.InitInstance(nullptr));
    EXPECT_EQ(0, listener.InitInstance(static_cast<tagParamListen *>(page)));
    CKesSend2 acknowledged;
    EXPECT_EQ(0, acknowledged.InitInstance(static_cast<tagParamSend *>(page)));
    munmap(page, 4096);
}

// A listener with the echo answers every datagram with "Echo" on the echo
// port, and CKesSend2 counts a send only when that answer comes.
TEST_F(Datagrams, AcknowledgedSendNeedsTheEcho)
{
    struct Row {
        const char *name;
        bool bListening;
        BOOL bEcho;
        int nExpected;
    } rows[] = {
        {"echoing listener", true, TRUE, 1},
        {"listener without echo", true, FALSE, 0},
        {"no listener", false, FALSE, 0},
    };
    for (const Row &row : rows) {
        Collector got;
        CKesListen listener;
        int port = FreePort();
        tagParamListen p = ListenOn(port, &got, row.bEcho);
        if (row.bListening) {
            ASSERT_EQ(1, listener.InitInstance(&p)) << row.name;
        }

        tagParamSend to;
        to.dwLocalAddr = kLoopback;
        to.dwDestAddr = kLoopback;
        to.nDestPort = port;
        // Long enough for a slow machine when the echo comes; a missing one
        // costs the whole of it, so only those rows wait it out.
        to.dwEchoTimeout = row.nExpected ? static_cast<DWORD>(Bound().count()) : 300;
        CKesSend2 sender;
        ASSERT_EQ(1, sender.InitInstance(&to)) << row.name;
        EXPECT_EQ(row.nExpected, sender.Send(const_cast<char *>("ping"), 4, 0, 0)) << row.name;
        if (row.bListening) {
            ASSERT_TRUE(got.WaitFor(1)) << row.name;
            EXPECT_EQ("ping", got.Received()[0].bytes) << row.name;
        }
        sender.Release();
        listener.Release();
    }
}

// The echo is the four bytes "Echo", to the sender's address on port 37102.
TEST_F(Datagrams, EchoIsFourBytesToTheEchoPort)
{
    Collector echoes;
    CKesListen echoPort;
    tagParamListen e = ListenOn(ECHO_PORT, &echoes);
    ASSERT_EQ(1, echoPort.InitInstance(&e));
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got, TRUE);
    ASSERT_EQ(1, listener.InitInstance(&p));

    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "hello", 5, kLoopback, port, kLoopback));
    ASSERT_TRUE(echoes.WaitFor(1));
    EXPECT_EQ("Echo", echoes.Received()[0].bytes);
    EXPECT_EQ(kLoopback, echoes.Received()[0].dwAddr);
    ASSERT_TRUE(got.WaitFor(1));
    listener.Release();
    echoPort.Release();
}

// The one process-wide listener: one at a time, no echo.
TEST_F(Datagrams, KesListenRunsTheProcessWideListener)
{
    Collector got;
    int port = FreePort();
    ASSERT_EQ(1, KesListen(KES_MODE_UNICAST, Collector::Receive, port, 0, &got, kLoopback));
    EXPECT_EQ(0, KesListen(KES_MODE_UNICAST, Collector::Receive, port, 0, &got, kLoopback)) << "already running";
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "to all", 6, kLoopback, port, kLoopback));
    ASSERT_TRUE(got.WaitFor(1));
    EXPECT_EQ("to all", got.Received()[0].bytes);
    EXPECT_EQ(1, KesStopListen());
    EXPECT_EQ(0, KesStopListen()) << "not running";
}

// The thread priorities that Windows takes are taken, the others refused,
// holding nothing.
TEST_F(Datagrams, ListenerTakesTheWindowsThreadPriorities)
{
    struct Row {
        int nPriority;
        int nExpected;
    } rows[] = {{-15, 1}, {-2, 1}, {0, 1}, {2, 1}, {15, 1}, {3, 0}, {-3, 0}, {99, 0}};
    for (const Row &row : rows) {
        Collector got;
        tagParamListen p = ListenOn(FreePort(), &got);
        p.nPriority = row.nPriority;
        CKesListen listener;
        EXPECT_EQ(row.nExpected, listener.InitInstance(&p)) << "priority " << row.nPriority;
        EXPECT_EQ(row.nExpected != 0, listener.m_pSocket != nullptr) << "priority " << row.nPriority;
        listener.Release();
    }
}

// The callback may release its own listener and destroy it.
TEST_F(Datagrams, CallbackReleasesAndDeletesItsOwnListener)
{
    Collector got;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got, TRUE);
    CKesListen *listener = new CKesListen;
    ASSERT_NE(nullptr, listener);
    ASSERT_EQ(1, listener->InitInstance(&p));
    std::atomic<bool> released{false};
    got.OnEach([&](const Datagram &) {
        if (!released.exchange(true)) {
            listener->Release();
            delete listener;
        }
    });
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "one", 3, kLoopback, port, kLoopback));
    ASSERT_TRUE(got.WaitFor(1));

    // The port is free again: a new listener there gets the next datagram,
    // and the released one none.
    Collector next;
    CKesListen after;
    tagParamListen q = ListenOn(port, &next);
    ASSERT_EQ(1, after.InitInstance(&q));
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "two", 3, kLoopback, port, kLoopback));
    ASSERT_TRUE(next.WaitFor(1));
    EXPECT_EQ("two", next.Received()[0].bytes);
    EXPECT_EQ(1u, got.Received().size());
    after.Release();
}

// Release gives up on a callback that holds on past dwStopTimeout; the host
// may then destroy the listener, and the callback returns into nothing of it.
TEST_F(Datagrams, ReleaseGivesUpOnAHeldCallback)
{
    Collector got;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got, TRUE);
    p.dwStopTimeout = 50;
    std::mutex gate;
    std::condition_variable opened;
    bool open = false;
    bool entered = false;
    std::atomic<int> returned{0};
    got.OnEach([&](const Datagram &) {
        std::unique_lock<std::mutex> hold(gate);
        entered = true;
        opened.notify_all();
        opened.wait_for(hold, Bound(), [&] { return open; });
        ++returned;
    });
    {
        CKesListen *listener = new CKesListen;
        ASSERT_EQ(1, listener->InitInstance(&p));
        ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "held", 4, kLoopback, port, kLoopback));
        {
            std::unique_lock<std::mutex> hold(gate);
            ASSERT_TRUE(opened.wait_for(hold, Bound(), [&] { return entered; }));
        }
        listener->Release();  // returns after dwStopTimeout, the callback still held
        EXPECT_EQ(0, returned.load());
        delete listener;
    }
    {
        std::lock_guard<std::mutex> hold(gate);
        open = true;
    }
    opened.notify_all();
    ASSERT_TRUE(got.WaitFor(1)) << "the held callback returns";
    // The thread ends on its own; a new listener on the port works at once.
    Collector next;
    CKesListen after;
    tagParamListen q = ListenOn(port, &next);
    ASSERT_EQ(1, after.InitInstance(&q));
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "next", 4, kLoopback, port, kLoopback));
    ASSERT_TRUE(next.WaitFor(1));
    after.Release();
    EXPECT_EQ(1, returned.load());
}

// Several threads send through one acknowledged sender, which serves them one
// at a time: every send is acknowledged and every datagram arrives once.
TEST_F(Datagrams, ConcurrentAcknowledgedSendsAreServedOneAtATime)
{
    const int kThreads = 4, kEach = 25;
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got, TRUE);
    ASSERT_EQ(1, listener.InitInstance(&p));
    tagParamSend to;
    to.dwLocalAddr = kLoopback;
    to.dwDestAddr = kLoopback;
    to.nDestPort = port;
    to.dwEchoTimeout = static_cast<DWORD>(Bound().count());
    CKesSend2 sender;
    ASSERT_EQ(1, sender.InitInstance(&to));

    std::atomic<int> acknowledged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string text = std::to_string(t) + ":" + std::to_string(i);
                acknowledged += sender.Send(&text[0], static_cast<unsigned long>(text.size()), 0, 0);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kEach, acknowledged.load());
    ASSERT_TRUE(got.WaitFor(kThreads * kEach));
    std::map<std::string, int> seen;
    for (const Datagram &d : got.Received())
        ++seen[d.bytes];
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size());
    for (const auto &entry : seen)
        EXPECT_EQ(1, entry.second) << entry.first;
    sender.Release();
    listener.Release();
}

// Threads each with their own sender (and KesSend) send at once to one
// listener; each waits for its own datagram before the next, so that nothing
// overflows the receive buffer, and every datagram arrives.
TEST_F(Datagrams, ConcurrentSendersReachOneListener)
{
    const int kThreads = 4, kEach = 50;
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got);
    ASSERT_EQ(1, listener.InitInstance(&p));
    std::mutex lock;
    std::condition_variable arrived;
    std::map<std::string, int> seen;
    got.OnEach([&](const Datagram &d) {
        std::lock_guard<std::mutex> hold(lock);
        ++seen[d.bytes];
        arrived.notify_all();
    });

    std::atomic<int> sent{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            tagParamSend to;
            to.dwLocalAddr = kLoopback;
            to.dwDestAddr = kLoopback;
            to.nDestPort = port;
            CKesSend sender;
            if (!sender.InitInstance(&to))
                return;
            for (int i = 0; i < kEach; ++i) {
                std::string text = std::to_string(t) + ":" + std::to_string(i);
                int ok = i % 2 ? sender.Send(&text[0], static_cast<DWORD>(text.size()), 0, 0)
                               : KesSend(KES_MODE_UNICAST, text.data(), static_cast<DWORD>(text.size()),
                                         kLoopback, port, kLoopback);
                sent += ok;
                std::unique_lock<std::mutex> hold(lock);
                if (!ok || !arrived.wait_for(hold, Bound(), [&] { return seen.count(text) != 0; }))
                    break;
            }
            sender.Release();
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kEach, sent.load());
    listener.Release();
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size());
    for (const auto &entry : seen)
        EXPECT_EQ(1, entry.second) << entry.first;
}

// The multi-interface classes on three loopback addresses (all of 127/8 is
// local on Linux): CKesSend3 sends each datagram once through each, and
// CKesListen3 hears a port on each, one thread per address.
TEST_F(Datagrams, EachInterfaceSendsAndListens)
{
    const DWORD addresses[] = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), inet_addr("127.0.0.3")};
    const int kCount = 3;
    Collector got;
    int port = FreePort();
    tagParamListen3 p;
    p.nPort = port;
    p.nCount = kCount;
    for (int i = 0; i < kCount; ++i)
        p.dwLocalAddr[i] = addresses[i];
    p.pfnReceive = Collector::Receive;
    p.pUserData = &got;
    CKesListen3 listener;
    ASSERT_EQ(1, listener.InitInstance(&p));
    for (int i = 0; i < kCount; ++i)
        EXPECT_NE(nullptr, listener.m_hThread[i]) << i;
    EXPECT_EQ(nullptr, listener.m_hThread[kCount]);

    tagParamSend3 to;
    to.nCount = kCount;
    for (int i = 0; i < kCount; ++i)
        to.dwLocalAddr[i] = addresses[i];
    to.dwDestAddr = addresses[1];
    to.nDestPort = port;
    CKesSend3 sender;
    ASSERT_EQ(1, sender.InitInstance(&to));
    ASSERT_EQ(1, sender.Send(reinterpret_cast<unsigned char *>(const_cast<char *>("all")), 3, 0, 0));
    ASSERT_TRUE(got.WaitFor(kCount));
    std::map<unsigned long, int> from;
    for (const Datagram &d : got.Received()) {
        EXPECT_EQ("all", d.bytes);
        ++from[d.dwAddr];
    }
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(1, from[addresses[i]]) << "through interface " << i;

    // Each of the listener's addresses hears its own datagram.
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "one", 3, addresses[i], port, addresses[i])) << i;
    ASSERT_TRUE(got.WaitFor(2 * kCount));
    EXPECT_EQ(static_cast<size_t>(2 * kCount), got.Received().size());
    sender.Release();
    listener.Release();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(nullptr, listener.m_pSocket[i]) << i;
}

TEST_F(Datagrams, InterfaceCountsOutsideOneToEightAreRefused)
{
    for (int count : {0, 9}) {
        tagParamSend3 to;
        to.nCount = count;
        CKesSend3 sender;
        EXPECT_EQ(0, sender.InitInstance(&to)) << count;
        tagParamListen3 p;
        p.nCount = count;
        CKesListen3 listener;
        EXPECT_EQ(0, listener.InitInstance(&p)) << count;
    }
}

// Multicast on a chosen interface: the sender joins the group on loopback and
// sends through it; a listener bound to any interface, joined to the group,
// gets the datagram. Only inside the test's own network namespace.
TEST_F(Datagrams, MulticastOnLoopbackReachesTheGroupsListener)
{
    if (getenv("KESNET_PRIVATE_LOOPBACK") == nullptr)
        GTEST_SKIP() << "multicast needs a network namespace of the test's own (run as root through "
                        "tests/posix/private_loopback.sh), so that nothing leaves the machine's interfaces";
    const DWORD group = inet_addr("239.77.3.1");
    Collector got;
    CKesListen listener;
    int port = FreePort();
    tagParamListen p = ListenOn(port, &got, TRUE);
    p.nMode = KES_MODE_MULTICAST;
    p.dwGroupAddr = group;
    p.dwLocalAddr = 0;  // Linux hands group datagrams only to sockets bound to any interface
    ASSERT_EQ(1, listener.InitInstance(&p));

    tagParamSend to;
    to.nMode = KES_MODE_MULTICAST;
    to.dwLocalAddr = kLoopback;
    to.dwDestAddr = group;
    to.nDestPort = port;
    CKesSend sender;
    ASSERT_EQ(1, sender.InitInstance(&to));
    ASSERT_EQ(1, sender.Send(const_cast<char *>("to the class"), 12, 0, 0));
    ASSERT_EQ(1, KesSend(KES_MODE_MULTICAST, "and again", 9, group, port, kLoopback));
    ASSERT_TRUE(got.WaitFor(2));
    EXPECT_EQ("to the class", got.Received()[0].bytes);
    EXPECT_EQ("and again", got.Received()[1].bytes);
    EXPECT_EQ(kLoopback, got.Received()[0].dwAddr);

    // A group that is not one is refused, holding nothing.
    CKesSend wrong;
    to.dwDestAddr = kLoopback;
    EXPECT_EQ(0, wrong.InitInstance(&to));
    EXPECT_EQ(nullptr, wrong.m_pSocket);
    sender.Release();
    listener.Release();
}

}  // namespace
