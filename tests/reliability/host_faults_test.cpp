// Faults of the host: a callback slower than the stop time-out, Release from
// inside a callback, stream objects deleted without Release, Winsock stopped
// under open objects, and the echo port held by another process. None may
// crash, hang, or leave a thread that touches an object after its host freed
// it.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "datagram/udp_socket.h"
#include "input_support.h"
#include "listener_kinds.h"
#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream/tcp_send.h"
#include "stream_support.h"

namespace {

using kt::Loopback;

// Short enough that Release gives up on a held thread at once.
const DWORD kShortStop = 50;

class HostFaults : public kt::WinsockTest {};

// Every kind of listener: its callback is held longer than the stop
// time-out when the host releases and frees it. Release returns, the port is
// closed, the thread of an idle second interface ends, and when the callback
// returns its thread ends without calling back again or writing to the freed
// memory. A kind that waits a fixed time whatever dwStopTimeout says is given
// an unbounded one: Release must return all the same.
TEST_F(HostFaults, ReleaseWhileTheCallbackIsSlowerThanTheStopTimeout)
{
    for (const kt::ListenerKind &kind : kt::ListenerKinds()) {
        DWORD stopTimeout = kind.fixedStopWait ? INFINITE : kShortStop;
        SCOPED_TRACE(std::string(kind.name) + (kind.fixedStopWait ? ", stop time-out INFINITE" : ""));
        kt::HeldCallback held;
        std::unique_ptr<kt::RunningListener> listener = kind.start(kt::HeldCallback::Receive, &held, stopTimeout);
        ASSERT_NE(nullptr, listener);
        HANDLE thread = listener->FirstThread();
        HANDLE sibling = listener->SiblingThread();
        ASSERT_EQ(kind.idleSibling, sibling != nullptr);
        ASSERT_TRUE(listener->Feed("slow"));
        ASSERT_TRUE(held.entered.Wait());

        EXPECT_TRUE(kt::ReturnsWithin([&] { listener->Release(); })) << "Release waits for the held callback";
        EXPECT_TRUE(listener->Closed());
        if (sibling != nullptr) {
            EXPECT_TRUE(kt::ThreadEnds(sibling)) << "the idle interface's thread still runs";
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0)) << "the held thread did not wait for its callback";
        }
        listener->Destroy();
        listener->Feed("late");  // nothing may serve it now

        held.release.Open();
        EXPECT_TRUE(kt::ThreadEnds(thread));
        EXPECT_EQ(1, held.calls);
        EXPECT_TRUE(listener->MemoryUntouched()) << "the thread wrote to the freed listener";
    }
}

// The process-wide listener may be started again while the thread of its
// previous run is still held in a callback: the old thread must leave the
// new run alone.
TEST_F(HostFaults, TheProcessWideListenerRestartsWhileItsOldThreadIsHeld)
{
    const kt::ListenerKind &kind = kt::ListenerKinds()[1];
    ASSERT_STREQ("KesListen", kind.name);
    kt::HeldCallback held;
    std::unique_ptr<kt::RunningListener> first = kind.start(kt::HeldCallback::Receive, &held, 0);
    ASSERT_NE(nullptr, first);
    HANDLE oldThread = first->FirstThread();
    ASSERT_TRUE(first->Feed("slow"));
    ASSERT_TRUE(held.entered.Wait());
    EXPECT_TRUE(kt::ReturnsWithin([&] { first->Release(); }));

    kt::Collector seen;
    std::unique_ptr<kt::RunningListener> second = kind.start(kt::Collector::Receive, &seen, 0);
    ASSERT_NE(nullptr, second);
    ASSERT_TRUE(second->Feed("one"));
    ASSERT_TRUE(seen.WaitFor(1));
    held.release.Open();
    EXPECT_TRUE(kt::ThreadEnds(oldThread));
    ASSERT_TRUE(second->Feed("two"));
    EXPECT_TRUE(seen.WaitFor(2)) << "the old thread disturbed the new run";
    EXPECT_EQ(1, held.calls);
}

// What a callback that ends its own listener needs.
struct SelfEnding {
    kt::RunningListener *listener = nullptr;
    bool destroy = false;
    kt::Gate done;
    volatile LONG calls = 0;

    static void __cdecl Receive(void *, int, void *pUserData, unsigned long, int)
    {
        SelfEnding *self = static_cast<SelfEnding *>(pUserData);
        if (InterlockedIncrement(&self->calls) != 1)
            return;
        self->listener->Release();
        if (self->destroy)
            self->listener->Destroy();
        self->done.Open();
    }
};

// Every kind of listener, released (and then freed) by its own callback, with
// an unbounded stop time-out where the kind takes one: Release must not wait
// for the thread it runs on.
TEST_F(HostFaults, ReleaseFromInsideTheCallback)
{
    for (bool destroy : {false, true}) {
        for (const kt::ListenerKind &kind : kt::ListenerKinds()) {
            SCOPED_TRACE(std::string(kind.name) + (destroy ? ", then freed" : ""));
            SelfEnding state;
            state.destroy = destroy;
            std::unique_ptr<kt::RunningListener> listener = kind.start(SelfEnding::Receive, &state, INFINITE);
            ASSERT_NE(nullptr, listener);
            state.listener = listener.get();
            HANDLE thread = listener->FirstThread();
            ASSERT_TRUE(listener->Feed("bye"));
            EXPECT_TRUE(state.done.Wait()) << "Release inside the callback did not return";
            EXPECT_TRUE(kt::ThreadEnds(thread)) << "the thread did not end after its callback";
            EXPECT_TRUE(listener->Closed());
            EXPECT_EQ(1, state.calls);
            EXPECT_TRUE(!destroy || listener->MemoryUntouched()) << "the thread wrote to its freed listener";
        }
    }
}

// The stream objects deleted through their interface without Release, in
// every state a host may leave them in: the destructor gives everything back.
class DeletedStreamObjects : public HostFaults {};

TEST_F(DeletedStreamObjects, ListenersIdleServingOrHeldInTheCallback)
{
    for (const kt::ListenerKind &kind : kt::ListenerKinds()) {
        if (!kind.stream)
            continue;
        for (int state = 0; state < 3; ++state) {
            static const char *const kStates[] = {"idle", "serving a client", "held in the callback"};
            SCOPED_TRACE(std::string(kind.name) + ", " + kStates[state]);
            kt::HeldCallback held;
            kt::Collector reads;
            std::unique_ptr<kt::RunningListener> listener =
                state == 2 ? kind.start(kt::HeldCallback::Receive, &held, kShortStop)
                           : kind.start(kt::Collector::Receive, &reads, kShortStop);
            ASSERT_NE(nullptr, listener);
            HANDLE thread = listener->FirstThread();
            if (state == 1) {
                ASSERT_TRUE(listener->Feed("hello"));
                ASSERT_TRUE(reads.WaitForBytes(5));
            } else if (state == 2) {
                ASSERT_TRUE(listener->Feed("hello"));
                ASSERT_TRUE(held.entered.Wait());
            }
            // Deleting is Destroy without the Release before it.
            EXPECT_TRUE(kt::ReturnsWithin([&] { listener->Destroy(); }));
            EXPECT_TRUE(listener->Closed());
            held.release.Open();
            EXPECT_TRUE(kt::ThreadEnds(thread));
            EXPECT_TRUE(listener->MemoryUntouched());
        }
    }
}

TEST_F(DeletedStreamObjects, SenderConnectedOrAfterAFailedConnect)
{
    kt::RawTcpServer server(Loopback());
    ASSERT_TRUE(server.ok());
    tagParamSend record;
    record.dwDestAddr = Loopback();
    record.nDestPort = server.port();
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    ASSERT_EQ(1, sender->InitInstance(&record));
    std::unique_ptr<kt::RawTcp> peer = server.Accept();
    ASSERT_NE(nullptr, peer);
    ASSERT_EQ(1, sender->Send(const_cast<char *>("abc"), 3));
    sender->Delete();
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(peer->WaitClosed(&bytes)) << "deleting the sender closes its connection";
    EXPECT_EQ(kt::Bytes("abc"), bytes);

    record.nDestPort = kt::FreeTcpPort();  // nothing listens there
    sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    EXPECT_EQ(0, sender->InitInstance(&record));
    sender->Delete();
}

// ---------------------------------------------------------------------------
// KesExitInstance while objects are still open. Winsock then closes every
// socket of the process; the objects must fail cleanly afterwards, their
// Release must be harmless, and once the host starts Winsock again new objects
// work, whatever handle numbers the old and the new sockets share.

// Every kind of object, set up and in use.
struct OpenObjects {
    kt::Collector seen;
    kt::Collector reads;
    CKesListen listener;
    CKesListen3 listener3;
    CKesSend sender;
    CKesSend2 sender2;
    CKesSend3 sender3;
    kt::StreamObject<CTcpListenObject> tcpListener{static_cast<CTcpListenObject *>(KesCreateObject(1))};
    kt::StreamObject<CTcpListen3Object> tcpListener3{static_cast<CTcpListen3Object *>(KesCreateObject(5))};
    kt::StreamObject<CTcpSendObject> tcpSender{static_cast<CTcpSendObject *>(KesCreateObject(2))};
    bool processWide = false;
    int udpPort = 0, tcpPort = 0;

    // Sets everything up on loopback; the senders send to the datagram
    // listener and the stream listener. There is one process-wide listener,
    // for one OpenObjects at a time.
    ::testing::AssertionResult Open(bool withProcessWide = true)
    {
        udpPort = kt::FreeUdpPort();
        tcpPort = kt::FreeTcpPort();
        tagParamListen listen;
        listen.dwLocalAddr = Loopback();
        listen.nPort = udpPort;
        listen.bEcho = TRUE;
        listen.pfnReceive = kt::Collector::Receive;
        listen.pUserData = &seen;
        tagParamListen3 listen3;
        listen3.nPort = kt::FreeUdpPort();
        listen3.dwLocalAddr[0] = Loopback();
        listen3.nCount = 1;
        listen3.pfnReceive = kt::Collector::Receive;
        listen3.pUserData = &seen;
        tagParamSend send;
        send.dwLocalAddr = Loopback();
        send.dwDestAddr = Loopback();
        send.nDestPort = udpPort;
        send.dwEchoTimeout = kt::Bound(2000);
        tagParamSend3 send3;
        send3.dwLocalAddr[0] = Loopback();
        send3.nCount = 1;
        send3.dwDestAddr = Loopback();
        send3.nDestPort = udpPort;
        tagParamListen tcpListen;
        tcpListen.dwLocalAddr = Loopback();
        tcpListen.nPort = tcpPort;
        tcpListen.pfnReceive = kt::Collector::Receive;
        tcpListen.pUserData = &reads;
        tagParamListen3 tcpListen3;
        tcpListen3.nPort = kt::FreeTcpPort();
        tcpListen3.dwLocalAddr[0] = Loopback();
        tcpListen3.nCount = 1;
        tcpListen3.pfnReceive = kt::Collector::Receive;
        tcpListen3.pUserData = &reads;
        tagParamSend tcpSend = send;
        tcpSend.nDestPort = tcpPort;
        if (!listener.InitInstance(&listen) || !listener3.InitInstance(&listen3) || !sender.InitInstance(&send) ||
            !sender2.InitInstance(&send) || !sender3.InitInstance(&send3) || !tcpListener->InitInstance(&tcpListen) ||
            !tcpListener3->InitInstance(&tcpListen3) || !tcpSender->InitInstance(&tcpSend))
            return ::testing::AssertionFailure() << "could not set everything up";
        processWide = withProcessWide && KesListen(1, kt::Collector::Receive, kt::FreeUdpPort(), 0, &seen, Loopback()) == 1;
        if (withProcessWide && !processWide)
            return ::testing::AssertionFailure() << "the process-wide listener did not start";
        return Works();
    }

    // Every sender sends and every listener receives.
    ::testing::AssertionResult Works()
    {
        size_t before = seen.Count();
        size_t bytes = reads.All().size();
        char data[] = "data";
        bool sent = sender.Send(data, 4, 0, 0) && sender2.Send(data, 4, 0, 0) &&
                    sender3.Send(reinterpret_cast<unsigned char *>(data), 4, 0, 0) && tcpSender->Send(data, 4);
        if (!sent)
            return ::testing::AssertionFailure() << "a send failed";
        return kt::Holds(seen.WaitFor(before + 3) && reads.WaitForBytes(bytes + 4), "not everything arrived");
    }

    // Every send fails, without a crash.
    ::testing::AssertionResult Fails()
    {
        char data[] = "data";
        long sent = sender.Send(data, 4, 0, 0) + sender2.Send(data, 4, 0, 0) +
                    sender3.Send(reinterpret_cast<unsigned char *>(data), 4, 0, 0) + tcpSender->Send(data, 4);
        return kt::Holds(sent == 0, "a send worked without Winsock");
    }

    void Release()
    {
        listener.Release();
        listener3.Release();
        sender.Release();
        sender2.Release();
        sender3.Release();
        tcpListener->Release();
        tcpListener3->Release();
        tcpSender->Release();
        if (processWide)
            KesStopListen();
        processWide = false;
    }
};

bool WinsockStopped()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s != INVALID_SOCKET) {
        closesocket(s);
        return false;
    }
    return WSAGetLastError() == WSANOTINITIALISED;
}

// A socket of the test's own, made after Winsock was started again, with a
// partner that shows whether it still works.
struct Bystander {
    kt::RawUdp socket{Loopback()};
    kt::RawUdp partner{Loopback()};
    bool Works()
    {
        kt::Datagram d;
        return partner.SendTo("still", 5, Loopback(), socket.port()) && socket.Receive(&d) && kt::Text(d) == "still";
    }
};

TEST(WinsockStoppedUnderOpenObjects, ObjectsFailCleanlyAndReleaseIsHarmless)
{
    ASSERT_EQ(1, KesInitInstance());
    {
        OpenObjects objects;
        ASSERT_TRUE(objects.Open());
        ASSERT_EQ(1, KesExitInstance());
        ASSERT_TRUE(WinsockStopped());
        EXPECT_TRUE(objects.Fails());
        objects.Release();
        // Released objects are set up again after Winsock is back.
        ASSERT_EQ(1, KesInitInstance());
        EXPECT_TRUE(objects.Open());
        objects.Release();
    }
    EXPECT_EQ(1, KesExitInstance());
}

// The host stops and starts Winsock again before it releases the old objects.
// Their sockets closed with Winsock; new sockets may now carry the same handle
// numbers, and releasing the old objects must not close those.
TEST(WinsockStoppedUnderOpenObjects, ReleaseAfterARestartLeavesNewSocketsAlone)
{
    ASSERT_EQ(1, KesInitInstance());
    {
        OpenObjects old;
        ASSERT_TRUE(old.Open());
        ASSERT_EQ(1, KesExitInstance());
        ASSERT_EQ(1, KesInitInstance());
        std::vector<std::unique_ptr<Bystander>> bystanders;
        for (int i = 0; i < 16; ++i)
            bystanders.emplace_back(new Bystander);
        OpenObjects fresh;
        ASSERT_TRUE(fresh.Open(false)) << "objects made after the restart";
        EXPECT_TRUE(old.Fails());
        old.Release();
        for (size_t i = 0; i < bystanders.size(); ++i)
            EXPECT_TRUE(bystanders[i]->Works()) << "socket " << i << " was closed by an old object's Release";
        EXPECT_TRUE(fresh.Works()) << "a new object was disturbed by an old one's Release";
        fresh.Release();
    }
    EXPECT_EQ(1, KesExitInstance());
}

// ---------------------------------------------------------------------------
// The echo port held by another process.

// port_holder, a program of the tests, holding a UDP port on every interface.
class PortHolder {
public:
    PortHolder(int port, const char *mode)
    {
        std::string id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
        std::string readyName = "kesnet-holder-ready-" + id, quitName = "kesnet-holder-quit-" + id;
        m_ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
        m_quit = CreateEventA(nullptr, TRUE, FALSE, quitName.c_str());
        std::string command = "\"" + kr::ProgramFolder() + "port_holder.exe\" " + std::to_string(port) + " " + mode + " " +
                              readyName + " " + quitName + " " + std::to_string(GetCurrentProcessId());
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return;
        CloseHandle(process.hThread);
        m_process = process.hProcess;
        HANDLE either[2] = {m_ready, m_process};
        m_holding = WaitForMultipleObjects(2, either, FALSE, kt::Bound()) == WAIT_OBJECT_0;
    }
    ~PortHolder()
    {
        SetEvent(m_quit);
        if (m_process != nullptr) {
            WaitForSingleObject(m_process, kt::Bound());
            CloseHandle(m_process);
        }
        CloseHandle(m_ready);
        CloseHandle(m_quit);
    }
    bool holding() const { return m_holding; }

private:
    HANDLE m_ready, m_quit;
    HANDLE m_process = nullptr;
    bool m_holding = false;
};

class EchoPortTaken : public kt::WinsockTest {
protected:
    // An acknowledged sender towards an echoing listener on loopback.
    tagParamSend Record(DWORD local)
    {
        tagParamSend record;
        record.dwLocalAddr = local;
        record.dwDestAddr = Loopback();
        record.nDestPort = m_listenPort;
        record.dwEchoTimeout = kt::Bound(2000);
        return record;
    }
    void SetUp() override
    {
        kt::WinsockTest::SetUp();
        tagParamListen echoing;
        echoing.dwLocalAddr = Loopback();
        echoing.bEcho = TRUE;
        echoing.pfnReceive = kt::Collector::Receive;
        echoing.pUserData = &m_seen;
        ASSERT_EQ(1, m_listener.InitInstance(&echoing));
        m_listenPort = kt::BoundPort(m_listener.m_pSocket->GetSocket());
    }
    void TearDown() override
    {
        m_listener.Release();
        kt::WinsockTest::TearDown();
    }

    kt::Collector m_seen;
    CKesListen m_listener;
    int m_listenPort = 0;
};

// Held without address reuse, the port cannot be bound again, address reuse
// or not (Linux under Wine refuses it; so does Windows for a port held
// exclusively): the set-up fails and holds nothing.
TEST_F(EchoPortTaken, ExclusivelyTheSetUpFailsCleanly)
{
    PortHolder holder(ECHO_PORT, "exclusive");
    ASSERT_TRUE(holder.holding()) << "port_holder could not take the echo port";
    for (DWORD local : {DWORD(0), Loopback()}) {
        SCOPED_TRACE("on " + kt::Dotted(local));
        CKesSend2 sender;
        tagParamSend record = Record(local);
        EXPECT_EQ(0, sender.InitInstance(&record));
        EXPECT_EQ(nullptr, sender.m_pSocket);
        EXPECT_EQ(nullptr, sender.m_hEchoEvent);
        EXPECT_EQ(nullptr, sender.m_echoListen.m_pSocket);
        EXPECT_EQ(0, sender.Send(const_cast<char *>("x"), 1, 0, 0));
        sender.Release();
    }
}

// Held with address reuse, as every socket of this library holds it (another
// acknowledged sender, or a listener on the echo port in another program):
// the set-up succeeds. Which socket a datagram to the port reaches is the
// system's choice; on Linux, under Wine, the socket bound last gets it, so
// the sender set up after the holder hears its echoes.
TEST_F(EchoPortTaken, SharedTheSetUpWorks)
{
    PortHolder holder(ECHO_PORT, "shared");
    ASSERT_TRUE(holder.holding()) << "port_holder could not take the echo port";
    CKesSend2 sender;
    tagParamSend record = Record(Loopback());
    ASSERT_EQ(1, sender.InitInstance(&record));
    EXPECT_EQ(1, sender.Send(const_cast<char *>("x"), 1, 0, 0));
    EXPECT_TRUE(m_seen.WaitFor(1));
    sender.Release();
}

}  // namespace
