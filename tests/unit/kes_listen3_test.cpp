// CKesListen3: one port on up to eight interfaces, one receive thread each.
#include <string>
#include <vector>

#include "datagram/udp_socket.h"
#include "new_threads.h"

namespace {

const char *kGroup = "239.77.3.2";

tagParamListen3 Listen3Params(const std::vector<DWORD> &locals, int port, void *pUserData,
                              ReceiveProc proc = kt::Collector::Receive)
{
    tagParamListen3 param;
    param.nPort = port;
    for (size_t i = 0; i < locals.size() && i < 8; ++i)
        param.dwLocalAddr[i] = locals[i];
    param.nCount = static_cast<int>(locals.size());
    param.pUserData = pUserData;
    param.pfnReceive = proc;
    return param;
}

bool Ended(HANDLE thread)
{
    return WaitForSingleObject(thread, kt::Bound()) == WAIT_OBJECT_0;
}

bool StillRunning(HANDLE thread)
{
    return WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

bool NoSlotHeld(const CKesListen3 &listener)
{
    for (int i = 0; i < 8; ++i)
        if (listener.m_pSocket[i] != nullptr || listener.m_hThread[i] != nullptr)
            return false;
    return true;
}

// The two addresses a two-slot listener uses: on loopback everywhere, and the
// two veth links inside the private network. Under Wine a socket bound to
// 127.0.0.2 is bound to any address, which still serves that address only
// because the exact binding on 127.0.0.1 takes precedence there.
std::vector<std::vector<DWORD>> TwoAddressSets()
{
    std::vector<std::vector<DWORD>> sets = {{kt::Loopback(), kt::Addr("127.0.0.2")}};
    if (kt::InPrivateNetwork())
        sets.push_back({kt::LocalVeth(0), kt::LocalVeth(1)});
    return sets;
}

std::string Describe(const std::vector<DWORD> &locals)
{
    std::string text;
    for (DWORD a : locals)
        text += (text.empty() ? "" : " and ") + kt::Dotted(a);
    return text;
}

using KesListen3 = kt::WinsockTest;

TEST_F(KesListen3, ServesOnePortOnEveryInterfaceEachOnItsOwnThread)
{
    for (const std::vector<DWORD> &locals : TwoAddressSets()) {
        SCOPED_TRACE(Describe(locals));
        kt::Collector received;
        int port = kt::FreeUdpPort();
        tagParamListen3 param = Listen3Params(locals, port, &received);
        param.nPriority = THREAD_PRIORITY_ABOVE_NORMAL;
        CKesListen3 listener;
        ASSERT_EQ(1, listener.InitInstance(&param));
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(port, kt::BoundPort(listener.m_pSocket[i]->GetSocket()));
            EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(listener.m_hThread[i]));
        }

        kt::RawUdp sender(0);
        for (int i = 0; i < 2; ++i) {
            std::string text = "to slot " + std::to_string(i);
            ASSERT_TRUE(sender.SendTo(text.data(), static_cast<int>(text.size()), locals[i], port));
            ASSERT_TRUE(received.WaitFor(i + 1));
            kt::Received d = received.At(i);
            EXPECT_EQ(text, kt::Text(d));
            EXPECT_EQ(sender.port(), d.port);
            EXPECT_EQ(&received, d.user);
            EXPECT_EQ(GetThreadId(listener.m_hThread[i]), d.threadId);
        }
        listener.Release();
    }
}

// Each callback waits, with a bound, for the other one to be running too: that
// can only succeed when the two interfaces' threads call back at the same time.
struct Meeting {
    LONG arrived = 0;
    LONG met = 0;
    LONG left = 0;
    HANDLE bothArrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE bothLeft = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD threads[2] = {};
    ~Meeting()
    {
        CloseHandle(bothArrived);
        CloseHandle(bothLeft);
    }
    static void __cdecl Receive(void *, int, void *pUserData, unsigned long, int)
    {
        Meeting *m = static_cast<Meeting *>(pUserData);
        LONG n = InterlockedIncrement(&m->arrived);
        if (n <= 2)
            m->threads[n - 1] = GetCurrentThreadId();
        if (n == 2)
            SetEvent(m->bothArrived);
        if (WaitForSingleObject(m->bothArrived, kt::Bound()) == WAIT_OBJECT_0)
            InterlockedIncrement(&m->met);
        if (InterlockedIncrement(&m->left) == 2)
            SetEvent(m->bothLeft);
    }
};

TEST_F(KesListen3, CallbacksOfTwoInterfacesRunAtTheSameTime)
{
    for (const std::vector<DWORD> &locals : TwoAddressSets()) {
        SCOPED_TRACE(Describe(locals));
        Meeting meeting;
        int port = kt::FreeUdpPort();
        tagParamListen3 param = Listen3Params(locals, port, &meeting, Meeting::Receive);
        CKesListen3 listener;
        ASSERT_EQ(1, listener.InitInstance(&param));
        kt::RawUdp sender(0);
        ASSERT_TRUE(sender.SendTo("a", 1, locals[0], port));
        ASSERT_TRUE(sender.SendTo("b", 1, locals[1], port));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(meeting.bothLeft, 3 * kt::Bound()));
        EXPECT_EQ(2, meeting.met) << "the second callback ran only after the first had returned";
        EXPECT_NE(meeting.threads[0], meeting.threads[1]);
        listener.Release();
    }
}

// A failure on slot k gives back what the slots before it acquired: their
// threads are stopped and their sockets closed before InitInstance returns 0.
// Under Wine binding an address the host does not have succeeds (it binds any
// address), so slot k fails at joining the group on that address instead,
// which needs the private network.
TEST_F(KesListen3, FailureOnASlotLeavesNoSocketAndNoThreadOfTheSlotsBefore)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    for (int k : {0, 1, 2, 7}) {
        SCOPED_TRACE("failing slot " + std::to_string(k));
        std::vector<DWORD> locals = kt::LocalVethsThenForeign(k);
        kt::Collector received;
        int port = kt::FreeUdpPort();
        tagParamListen3 param = Listen3Params(locals, port, &received);
        param.nMode = KES_MODE_MULTICAST;
        param.dwGroupAddr = kt::Addr(kGroup);
        CKesListen3 listener;
        kt::NewThreads watch;
        EXPECT_EQ(0, listener.InitInstance(&param));
        EXPECT_EQ(size_t(k), watch.Count()) << "one receive thread per slot before the failing one";
        EXPECT_TRUE(watch.AllEnded());
        EXPECT_TRUE(NoSlotHeld(listener));
        EXPECT_TRUE(kt::UdpPortFree(0, port));
    }
}

TEST_F(KesListen3, ReleaseStopsEveryThreadAndClosesEverySocket)
{
    kt::Collector received;
    int port = kt::FreeUdpPort();
    tagParamListen3 param = Listen3Params({kt::Loopback(), kt::Addr("127.0.0.2")}, port, &received);
    CKesListen3 listener;
    ASSERT_EQ(1, listener.InitInstance(&param));
    EXPECT_EQ(0, listener.InitInstance(&param)) << "a running listener is left as it is";
    HANDLE threads[2] = {kt::DuplicateThread(listener.m_hThread[0]), kt::DuplicateThread(listener.m_hThread[1])};
    kt::RawUdp sender;
    ASSERT_TRUE(sender.SendTo("still here", 10, kt::Loopback(), port));
    ASSERT_TRUE(received.WaitFor(1));

    listener.Release();
    EXPECT_TRUE(NoSlotHeld(listener));
    for (HANDLE h : threads) {
        EXPECT_TRUE(Ended(h));
        CloseHandle(h);
    }
    EXPECT_TRUE(kt::UdpPortFree(0, port));
    listener.Release();  // harmless

    ASSERT_EQ(1, listener.InitInstance(&param)) << "a released listener starts again";
    listener.Release();
}

TEST_F(KesListen3, NullOrUnreadableRecordIsRefused)
{
    CKesListen3 listener;
    EXPECT_EQ(0, listener.InitInstance(nullptr));
    EXPECT_EQ(0, listener.InitInstance(reinterpret_cast<tagParamListen3 *>(16)));
    EXPECT_TRUE(NoSlotHeld(listener));
}

// A callback pointer that is not executable ends the thread of the slot that
// received the datagram; the other slots go on until their own turn.
TEST_F(KesListen3, NonExecutableCallbackEndsOnlyThatSlotsThread)
{
    int port = kt::FreeUdpPort();
    tagParamListen3 param = Listen3Params({kt::Loopback(), kt::Addr("127.0.0.2")}, port, nullptr, nullptr);
    CKesListen3 listener;
    ASSERT_EQ(1, listener.InitInstance(&param));
    HANDLE threads[2] = {kt::DuplicateThread(listener.m_hThread[0]), kt::DuplicateThread(listener.m_hThread[1])};
    kt::RawUdp sender;

    ASSERT_TRUE(sender.SendTo("x", 1, kt::Loopback(), port));
    EXPECT_TRUE(Ended(threads[0]));
    EXPECT_TRUE(StillRunning(threads[1]));
    ASSERT_TRUE(sender.SendTo("y", 1, kt::Addr("127.0.0.2"), port));
    EXPECT_TRUE(Ended(threads[1]));

    listener.Release();
    EXPECT_TRUE(NoSlotHeld(listener));
    EXPECT_TRUE(kt::UdpPortFree(0, port));
    for (HANDLE h : threads)
        CloseHandle(h);
}

// In multicast mode every slot joins the group on its own interface. Group
// datagrams that leave an interface come back to this host only when the
// interface is a member, and then reach the slot bound there.
TEST_F(KesListen3, MulticastJoinsTheGroupOnEveryInterface)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    kt::Collector received;
    int port = kt::FreeUdpPort();
    DWORD group = kt::Addr(kGroup);
    tagParamListen3 param = Listen3Params({kt::LocalVeth(0), kt::LocalVeth(1)}, port, &received);
    param.nMode = KES_MODE_MULTICAST;
    param.dwGroupAddr = group;
    CKesListen3 listener;
    ASSERT_EQ(1, listener.InitInstance(&param));

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("group datagram out of " + kt::Dotted(kt::LocalVeth(i)));
        kt::RawUdp sender(0);
        ASSERT_TRUE(sender.SetMulticastInterface(kt::LocalVeth(i)));
        std::string text = "via interface " + std::to_string(i);
        ASSERT_TRUE(sender.SendTo(text.data(), static_cast<int>(text.size()), group, port));
        ASSERT_TRUE(received.WaitFor(i + 1));
        kt::Received d = received.At(i);
        EXPECT_EQ(text, kt::Text(d));
        EXPECT_EQ(kt::LocalVeth(i), d.addr);
        EXPECT_EQ(GetThreadId(listener.m_hThread[i]), d.threadId);
    }
    listener.Release();
    EXPECT_TRUE(kt::UdpPortFree(0, port));
}

}  // namespace
