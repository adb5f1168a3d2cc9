// CKesSend2: sends acknowledged by the receiver's echo on the echo port.
// Every case binds the echo port, so only one sender lives at a time.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "datagram/udp_socket.h"
#include "test_support.h"

namespace {

const char kEcho[4] = {'E', 'c', 'h', 'o'};

tagParamSend SendParams(DWORD dwEchoTimeout, DWORD dwLocalAddr = kt::Loopback())
{
    tagParamSend param;
    param.dwLocalAddr = dwLocalAddr;
    param.dwEchoTimeout = dwEchoTimeout;
    return param;
}

// Long enough for an echo on a busy machine; a Send that gets no echo waits
// all of it, so cases that expect none use it sparingly.
DWORD EchoBound()
{
    return kt::Bound(2000);
}

int SendText(CKesSend2 *sender, const std::string &text, DWORD addr, int port)
{
    return sender->Send(const_cast<char *>(text.data()), static_cast<unsigned long>(text.size()), addr, port);
}

// A CKesListen that answers every datagram with "Echo", on an ephemeral port.
class EchoingListener {
public:
    explicit EchoingListener(DWORD local = kt::Loopback())
    {
        tagParamListen param;
        param.dwLocalAddr = local;
        param.bEcho = TRUE;
        param.pfnReceive = kt::Collector::Receive;
        param.pUserData = &received;
        ok = m_listener.InitInstance(&param) == 1;
        port = ok ? kt::BoundPort(m_listener.m_pSocket->GetSocket()) : -1;
    }
    ~EchoingListener() { m_listener.Release(); }

    kt::Collector received;
    bool ok;
    int port;

private:
    CKesListen m_listener;
};

// Answers every datagram that reaches `destination` with "Echo" to the
// sender's echo port, sent from `answerFrom`. Before answering it checks that
// no second datagram is already waiting, which would mean two sends were
// awaiting their echo at once.
class Responder {
public:
    Responder(DWORD destination, DWORD answerFrom, size_t expected)
        : m_destination(destination), m_answer(answerFrom), m_expected(expected)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~Responder() { Join(); }
    bool ok() const { return m_destination.ok() && m_answer.ok(); }
    int port() const { return m_destination.port(); }
    std::vector<std::string> Answered() { Join(); return m_answered; }
    bool SawOverlap() { Join(); return m_overlap; }

private:
    void Run()
    {
        kt::Datagram d;
        while (m_answered.size() < m_expected && m_destination.Receive(&d)) {
            if (!m_destination.Drain().empty())
                m_overlap = true;
            m_answered.push_back(kt::Text(d));
            m_answer.SendTo(kEcho, sizeof kEcho, d.addr, ECHO_PORT);
        }
    }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    kt::RawUdp m_destination;
    kt::RawUdp m_answer;
    size_t m_expected;
    std::vector<std::string> m_answered;
    bool m_overlap = false;
    std::thread m_thread;
};

// Runs f on a thread of its own and waits for it at most ms. A call that hangs
// (for instance in a lock that was never initialised) is left behind.
bool FinishesWithin(DWORD ms, std::function<int()> f, int *result)
{
    struct Call {
        std::function<int()> f;
        int result;
        static DWORD WINAPI Run(void *p)
        {
            Call *call = static_cast<Call *>(p);
            call->result = call->f();
            return 0;
        }
    };
    Call *call = new Call{f, -1};
    HANDLE thread = CreateThread(nullptr, 0, Call::Run, call, 0, nullptr);
    if (thread == nullptr)
        return false;
    bool finished = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (finished) {
        *result = call->result;
        delete call;
    }
    return finished;
}

using KesSend2 = kt::WinsockTest;

TEST_F(KesSend2, EchoingListenerAcknowledgesEverySend)
{
    EchoingListener listener;
    ASSERT_TRUE(listener.ok);
    CKesSend2 sender;
    tagParamSend param = SendParams(EchoBound());
    param.dwDestAddr = kt::Loopback();
    param.nDestPort = listener.port;
    ASSERT_EQ(1, sender.InitInstance(&param));

    EXPECT_EQ(1, SendText(&sender, "first", kt::Loopback(), listener.port));
    EXPECT_EQ(1, SendText(&sender, "second", 0, 0));  // the record's destination
    EXPECT_EQ(1, SendText(&sender, "", kt::Loopback(), listener.port));

    ASSERT_TRUE(listener.received.WaitFor(3));
    std::vector<kt::Received> got = listener.received.All();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ("first", kt::Text(got[0]));
    EXPECT_EQ("second", kt::Text(got[1]));
    EXPECT_EQ("", kt::Text(got[2]));
    // Sent from the sender's own socket, not from the echo port.
    EXPECT_EQ(kt::BoundPort(sender.m_pSocket->GetSocket()), got[0].port);
    sender.Release();
}

TEST_F(KesSend2, ListenerWithoutEchoGetsTheDatagramButTheSendTimesOut)
{
    kt::Collector received;
    int port = kt::FreeUdpPort();
    ASSERT_EQ(1, KesListen(KES_MODE_UNICAST, kt::Collector::Receive, port, 0, &received, kt::Loopback()));
    CKesSend2 sender;
    tagParamSend param = SendParams(200);
    ASSERT_EQ(1, sender.InitInstance(&param));

    EXPECT_EQ(0, SendText(&sender, "unanswered", kt::Loopback(), port));
    EXPECT_TRUE(received.WaitFor(1));
    EXPECT_EQ("unanswered", kt::Text(received.At(0)));

    sender.Release();
    EXPECT_EQ(1, KesStopListen());
}

// The echo must come from the address the datagram went to; from any other
// source it is ignored and the Send gets no acknowledgement. The echo always
// comes from 127.0.0.1 here: Wine sends from 127.0.0.1 for a socket bound to any
// other loopback address, so the destination is what differs.
TEST_F(KesSend2, OnlyAnEchoFromTheDestinationAddressCounts)
{
    struct Case {
        const char *destination;
        int expected;
    };
    const Case cases[] = {{"127.0.0.1", 1}, {"127.0.0.2", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("destination ") + c.destination + ", echo from 127.0.0.1");
        Responder responder(kt::Addr(c.destination), kt::Loopback(), 1);
        ASSERT_TRUE(responder.ok());
        CKesSend2 sender;
        tagParamSend param = SendParams(EchoBound());
        ASSERT_EQ(1, sender.InitInstance(&param));
        EXPECT_EQ(c.expected, SendText(&sender, "who answers?", kt::Addr(c.destination), responder.port()));
        sender.Release();
        EXPECT_EQ(std::vector<std::string>{"who answers?"}, responder.Answered());
    }
}

TEST_F(KesSend2, EchoTimeoutZeroReturnsWithoutWaiting)
{
    kt::RawUdp silent;
    ASSERT_TRUE(silent.ok());
    CKesSend2 sender;
    tagParamSend param = SendParams(0);
    ASSERT_EQ(1, sender.InitInstance(&param));

    int result = -1;
    ASSERT_TRUE(FinishesWithin(kt::Bound(), [&] { return SendText(&sender, "no wait", kt::Loopback(), silent.port()); },
                               &result));
    EXPECT_EQ(0, result);
    kt::Datagram d;
    ASSERT_TRUE(silent.Receive(&d));
    EXPECT_EQ("no wait", kt::Text(d));
    sender.Release();
}

// An echo that comes after its Send gave up leaves the event set. When it has
// arrived before the next Send to the same address begins, that Send must
// still wait for an echo of its own. (One still in flight when the next
// datagram goes out cannot be told from that datagram's echo.)
TEST_F(KesSend2, AnEchoThatArrivedBeforeSendBeganNeverAcknowledgesIt)
{
    for (DWORD timeout : {DWORD(0), DWORD(300)}) {
        SCOPED_TRACE("dwEchoTimeout " + std::to_string(timeout));
        kt::RawUdp destination;
        ASSERT_TRUE(destination.ok());
        CKesSend2 sender;
        tagParamSend param = SendParams(timeout);
        ASSERT_EQ(1, sender.InitInstance(&param));

        EXPECT_EQ(0, SendText(&sender, "first", kt::Loopback(), destination.port()));
        kt::Datagram d;
        ASSERT_TRUE(destination.Receive(&d));
        ASSERT_TRUE(destination.SendTo(kEcho, sizeof kEcho, d.addr, ECHO_PORT));  // too late
        // Wait until the sender has taken the late echo, then put it back.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sender.m_hEchoEvent, kt::Bound()));
        SetEvent(sender.m_hEchoEvent);

        EXPECT_EQ(0, SendText(&sender, "second", kt::Loopback(), destination.port()));
        ASSERT_TRUE(destination.Receive(&d));
        EXPECT_EQ("second", kt::Text(d));
        sender.Release();
    }
}

TEST_F(KesSend2, ConcurrentSendsAreServedOneAtATimeEachByItsOwnEcho)
{
    const int kAnsweredThreads = 2, kSendsEach = 5, kSilentThreads = 2;
    Responder responder(kt::Loopback(), kt::Loopback(), kAnsweredThreads * kSendsEach);
    ASSERT_TRUE(responder.ok());
    kt::RawUdp silent(kt::Addr("127.0.0.3"));
    ASSERT_TRUE(silent.ok());
    CKesSend2 sender;
    tagParamSend param = SendParams(EchoBound());
    ASSERT_EQ(1, sender.InitInstance(&param));

    std::atomic<int> acknowledged{0}, unanswered{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kAnsweredThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSendsEach; ++i) {
                std::string text = "thread " + std::to_string(t) + " send " + std::to_string(i);
                (SendText(&sender, text, kt::Loopback(), responder.port()) == 1 ? acknowledged : wrong)++;
            }
        });
    for (int t = 0; t < kSilentThreads; ++t)
        threads.emplace_back([&] {
            (SendText(&sender, "to nobody", kt::Addr("127.0.0.3"), silent.port()) == 0 ? unanswered : wrong)++;
        });
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(kAnsweredThreads * kSendsEach, acknowledged.load());
    EXPECT_EQ(kSilentThreads, unanswered.load());
    EXPECT_EQ(0, wrong.load());
    EXPECT_FALSE(responder.SawOverlap()) << "a second datagram was sent before the first was answered";
    std::vector<std::string> answered = responder.Answered();
    EXPECT_EQ(size_t(kAnsweredThreads * kSendsEach), answered.size());
    for (int t = 0; t < kAnsweredThreads; ++t)
        for (int i = 0; i < kSendsEach; ++i) {
            std::string text = "thread " + std::to_string(t) + " send " + std::to_string(i);
            EXPECT_EQ(1, std::count(answered.begin(), answered.end(), text)) << text;
        }
    EXPECT_EQ(size_t(kSilentThreads), silent.Drain().size());
    sender.Release();
}

TEST_F(KesSend2, InitInstanceRefusesEveryModeButUnicast)
{
    for (int mode : {KES_MODE_MULTICAST, 0, 3}) {
        SCOPED_TRACE("nMode " + std::to_string(mode));
        CKesSend2 sender;
        tagParamSend param = SendParams(100);
        param.nMode = mode;
        EXPECT_EQ(0, sender.InitInstance(&param));
        EXPECT_EQ(nullptr, sender.m_pSocket);
        EXPECT_EQ(nullptr, sender.m_hEchoEvent);
        EXPECT_EQ(nullptr, sender.m_echoListen.m_hThread);
        EXPECT_EQ(mode, sender.m_param.nMode);  // the refused record stays
        EXPECT_TRUE(kt::UdpPortFree(kt::Loopback(), ECHO_PORT));
        EXPECT_EQ(0, SendText(&sender, "x", kt::Loopback(), 9));
    }
}

// A sender that is not set up has no lock: Send must return 0 without
// entering it. The never-initialised sender sits in zeroed memory, where
// entering the lock would wait forever.
TEST_F(KesSend2, SendOnASenderThatIsNotSetUpReturnsZero)
{
    alignas(CKesSend2) unsigned char storage[sizeof(CKesSend2)] = {};
    CKesSend2 *never = new (storage) CKesSend2;

    CKesSend2 released;
    tagParamSend param = SendParams(100);
    ASSERT_EQ(1, released.InitInstance(&param));
    released.Release();

    CKesSend2 refused;
    param.nMode = KES_MODE_MULTICAST;
    EXPECT_EQ(0, refused.InitInstance(&param));

    kt::RawUdp destination;
    ASSERT_TRUE(destination.ok());
    int port = destination.port();
    for (CKesSend2 *sender : {never, &released, &refused}) {
        int result = -1;
        ASSERT_TRUE(FinishesWithin(kt::Bound(), [sender, port] { return SendText(sender, "x", kt::Loopback(), port); },
                                   &result));
        EXPECT_EQ(0, result);
    }
    EXPECT_TRUE(destination.Drain().empty());
    never->~CKesSend2();
}

TEST_F(KesSend2, NullRecordKeepsTheParametersAlreadyHeldAndListensOnAnyInterface)
{
    EchoingListener listener;
    ASSERT_TRUE(listener.ok);
    CKesSend2 sender;
    sender.m_param.dwDestAddr = kt::Loopback();
    sender.m_param.nDestPort = listener.port;
    sender.m_param.dwEchoTimeout = EchoBound();
    ASSERT_EQ(1, sender.InitInstance(nullptr));
    EXPECT_EQ(0u, sender.m_echoListen.m_param.dwLocalAddr);
    EXPECT_EQ(ECHO_PORT, sender.m_echoListen.m_param.nPort);
    EXPECT_FALSE(kt::UdpPortFree(0, ECHO_PORT));

    EXPECT_EQ(1, SendText(&sender, "defaults", 0, 0));
    ASSERT_TRUE(listener.received.WaitFor(1));
    EXPECT_EQ("defaults", kt::Text(listener.received.At(0)));
    sender.Release();
}

TEST_F(KesSend2, ReleaseStopsTheEchoListenerAndGivesBackThePorts)
{
    CKesSend2 sender;
    tagParamSend param = SendParams(100);
    ASSERT_EQ(1, sender.InitInstance(&param));
    EXPECT_EQ(0, sender.InitInstance(&param)) << "a sender already set up is left as it is";
    int sendPort = kt::BoundPort(sender.m_pSocket->GetSocket());
    HANDLE echoThread = kt::DuplicateThread(sender.m_echoListen.m_hThread);
    ASSERT_NE(nullptr, echoThread);

    sender.Release();
    EXPECT_EQ(nullptr, sender.m_pSocket);
    EXPECT_EQ(nullptr, sender.m_hEchoEvent);
    EXPECT_EQ(nullptr, sender.m_echoListen.m_hThread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(echoThread, kt::Bound()));
    CloseHandle(echoThread);
    EXPECT_TRUE(kt::UdpPortFree(kt::Loopback(), ECHO_PORT));
    EXPECT_TRUE(kt::UdpPortFree(kt::Loopback(), sendPort));
    sender.Release();  // harmless

    EXPECT_EQ(1, sender.InitInstance(&param)) << "a released sender can be set up again";
    sender.Release();
}

TEST_F(KesSend2, InitInstanceFailsWithNothingHeldWhenTheEchoPortIsTaken)
{
    kt::RawUdp holder(kt::Loopback(), ECHO_PORT, false);  // without address reuse
    ASSERT_TRUE(holder.ok());
    CKesSend2 sender;
    tagParamSend param = SendParams(100);
    EXPECT_EQ(0, sender.InitInstance(&param));
    EXPECT_EQ(nullptr, sender.m_pSocket);
    EXPECT_EQ(nullptr, sender.m_hEchoEvent);
    EXPECT_EQ(nullptr, sender.m_echoListen.m_hThread);
}

}  // namespace
