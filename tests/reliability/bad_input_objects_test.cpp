// Bad input to every operation of the exported classes and of the stream
// objects, one table per operation: records that are null, unreadable or cut
// short, every field at its extremes, data that cannot be read, callbacks
// that are not code, and calls out of order. The host allocates the datagram
// objects itself; here each lies between guard bytes, so that a write beside
// it is seen. Records are handed over in read-only memory: the library only
// reads them. (The slot counts of the multi-interface classes have a table of
// their own, in slot_counts_test.cpp.)
#include <limits.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "datagram/udp_socket.h"
#include "input_support.h"
#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream/tcp_send.h"
#include "stream_support.h"

namespace {

using kt::Row;
using kt::Loopback;

const DWORD kAll = 0xFFFFFFFF;
const char kEcho[4] = {'E', 'c', 'h', 'o'};

int Port16(int nPort)
{
    return static_cast<u_short>(nPort);
}

// What an object that was set up must do with the first datagram or stream
// block.
enum class Then {
    kDelivers,       // hand it to the callback (or, for a sender, send it)
    kEchoes,         // answer it with "Echo" on the echo port, and hand it over
    kEndsItsThread,  // end the receive thread without calling back (datagrams)
    kDropsIt,        // read it, call nothing and go on serving (streams)
    kSendsNothing,   // a sender that is set up sends nothing, and says it sent
};

// One field of a record changed, with the result InitInstance must give and
// what the object must then do.
template <typename Record>
struct FieldCase {
    std::string what;
    std::function<void(Record &)> change;
    long expected;
    Then then;
};

// Sets an object up from a record pointer and checks it. content is what the
// pointer leads to when it can be read (null for the bad pointers); a good
// record is handed over in read-only memory.
template <typename Record>
using Start = std::function<long(Record *pointer, const Record *content, Then then)>;

// The rows every InitInstance table has: a record that is null, that cannot
// be read, or that ends one byte early in memory that cannot be read, and
// the good record in read-only memory.
template <typename Record>
std::vector<Row> RecordPointerRows(kr::BadMemory &bad, const Record &good, long nullExpected, Start<Record> start)
{
    return {
        {"null record", [=] { return start(nullptr, nullptr, Then::kDelivers); }, nullExpected},
        {"record with no access", [=, &bad] { return start(bad.NoAccessAs<Record>(), nullptr, Then::kDelivers); }, 0},
        {"record of " + std::to_string(sizeof good - 1) + " readable bytes",
         [=, &bad] {
             void *cut = bad.Tail(sizeof good - 1);
             memcpy(cut, &good, sizeof good - 1);
             return start(static_cast<Record *>(cut), nullptr, Then::kDelivers);
         },
         0},
        {"read-only record", [=, &bad] { return start(bad.ReadOnlyCopy(good), &good, Then::kDelivers); }, 1},
    };
}

// One row per case: the good record with the case's change.
template <typename Record>
std::vector<Row> FieldRows(kr::BadMemory &bad, const Record &good, const std::vector<FieldCase<Record>> &cases,
                           Start<Record> start)
{
    std::vector<Row> rows;
    for (const FieldCase<Record> &c : cases) {
        rows.push_back({c.what,
                        [=, &bad] {
                            Record record = good;
                            c.change(record);
                            return start(bad.ReadOnlyCopy(record), &record, c.then);
                        },
                        c.expected});
    }
    return rows;
}

template <typename Record>
std::vector<Row> InitInstanceRows(kr::BadMemory &bad, const Record &good, long nullExpected,
                                  const std::vector<FieldCase<Record>> &cases, Start<Record> start)
{
    std::vector<Row> rows = RecordPointerRows(bad, good, nullExpected, start);
    std::vector<Row> fields = FieldRows(bad, good, cases, start);
    rows.insert(rows.end(), fields.begin(), fields.end());
    return rows;
}

// Release out of order, for every class: on an object never set up, after a
// failed set-up, and twice.
template <typename T, typename Record>
std::vector<Row> ReleaseRows(Record good, Record bad, std::function<bool(T &)> holdsNothing)
{
    auto released = [holdsNothing](std::function<void(T &)> before) {
        return [holdsNothing, before]() -> long {
            kr::Fenced<T> object;
            before(*object);
            object->Release();
            return holdsNothing(*object) && object.GuardsIntact();
        };
    };
    return {
        {"never set up", released([](T &) {}), 1},
        {"after a failed set-up", released([bad](T &t) mutable { EXPECT_EQ(0, t.InitInstance(&bad)); }), 1},
        {"twice", released([good](T &t) mutable {
             EXPECT_EQ(1, t.InitInstance(&good));
             t.Release();
         }),
         1},
    };
}

class BadObjectInput : public kt::WinsockTest {
protected:
    kr::BadMemory m_bad;
    kt::Collector m_seen;
};

// ---------------------------------------------------------------------------
// The datagram listeners.

// The callback pointers no listener may call.
template <typename Record>
std::vector<FieldCase<Record>> CallbackCases(kr::BadMemory &bad, Then then)
{
    ReceiveProc noAccess = bad.NoAccessCode(), notCode = bad.DataAsCode();
    return {
        {"null callback", [](Record &r) { r.pfnReceive = nullptr; }, 1, then},
        {"callback with no access", [=](Record &r) { r.pfnReceive = noAccess; }, 1, then},
        {"callback in data that is not code", [=](Record &r) { r.pfnReceive = notCode; }, 1, then},
    };
}

// The fields that every listener record carries, at their extremes, with
// what a datagram listener does with them.
template <typename Record>
std::vector<FieldCase<Record>> ListenFieldCases(kr::BadMemory &bad)
{
    std::vector<FieldCase<Record>> cases = {
        {"dwSize 0", [](Record &r) { r.dwSize = 0; }, 1, Then::kDelivers},
        {"dwSize 0xFFFFFFFF", [](Record &r) { r.dwSize = kAll; }, 1, Then::kDelivers},
        {"mode 0", [](Record &r) { r.nMode = 0; }, 1, Then::kDelivers},
        {"mode 3", [](Record &r) { r.nMode = 3; }, 1, Then::kDelivers},
        {"mode -1", [](Record &r) { r.nMode = -1; }, 1, Then::kDelivers},
        {"mode INT_MIN", [](Record &r) { r.nMode = INT_MIN; }, 1, Then::kDelivers},
        {"a group is ignored in mode 1", [](Record &r) { r.dwGroupAddr = kt::Addr("10.1.2.3"); }, 1, Then::kDelivers},
        {"multicast with an address that is no group",
         [](Record &r) { r.nMode = 2, r.dwGroupAddr = kt::Addr("10.1.2.3"); }, 0, Then::kDelivers},
        {"multicast with group 0", [](Record &r) { r.nMode = 2, r.dwGroupAddr = 0; }, 0, Then::kDelivers},
        {"port above 65535 keeps its low 16 bits", [](Record &r) { r.nPort += 65536; }, 1, Then::kDelivers},
        {"negative port keeps its low 16 bits", [](Record &r) { r.nPort -= 65536; }, 1, Then::kDelivers},
        {"idle priority", [](Record &r) { r.nPriority = THREAD_PRIORITY_IDLE; }, 1, Then::kDelivers},
        {"time-critical priority", [](Record &r) { r.nPriority = THREAD_PRIORITY_TIME_CRITICAL; }, 1, Then::kDelivers},
        {"priority 3, which does not exist", [](Record &r) { r.nPriority = 3; }, 0, Then::kDelivers},
        {"priority 16", [](Record &r) { r.nPriority = 16; }, 0, Then::kDelivers},
        {"priority -16", [](Record &r) { r.nPriority = -16; }, 0, Then::kDelivers},
        {"priority INT_MIN", [](Record &r) { r.nPriority = INT_MIN; }, 0, Then::kDelivers},
        {"priority INT_MAX", [](Record &r) { r.nPriority = INT_MAX; }, 0, Then::kDelivers},
        {"stop time-out 0", [](Record &r) { r.dwStopTimeout = 0; }, 1, Then::kDelivers},
        {"stop time-out INFINITE", [](Record &r) { r.dwStopTimeout = INFINITE; }, 1, Then::kDelivers},
        {"backlog 0", [](Record &r) { r.nBacklog = 0; }, 1, Then::kDelivers},
        {"backlog -1", [](Record &r) { r.nBacklog = -1; }, 1, Then::kDelivers},
        {"backlog 1000", [](Record &r) { r.nBacklog = 1000; }, 1, Then::kDelivers},
    };
    for (const FieldCase<Record> &c : CallbackCases<Record>(bad, Then::kEndsItsThread))
        cases.push_back(c);
    return cases;
}

class BadListenInput : public BadObjectInput {
protected:
    void SetUp() override
    {
        BadObjectInput::SetUp();
        m_port = kt::FreeUdpPort();
        ASSERT_GT(m_port, 0);
    }

    // Sends one datagram to port and checks what happens to it; thread is a
    // duplicate of the handle of the receive thread that serves it.
    ::testing::AssertionResult Exercise(int port, Then then, HANDLE thread)
    {
        size_t before = m_seen.Count();
        if (!m_sender.SendTo("ping", 4, Loopback(), port))
            return ::testing::AssertionFailure() << "could not send";
        if (then == Then::kEndsItsThread)
            return kt::Holds(WaitForSingleObject(thread, kt::Bound()) == WAIT_OBJECT_0, "the receive thread still runs");
        if (then == Then::kEchoes) {
            kt::Datagram echo;
            if (!m_echoes.Receive(&echo) || echo.data != std::vector<unsigned char>(kEcho, kEcho + 4))
                return ::testing::AssertionFailure() << "no echo";
        }
        return kt::Holds(m_seen.WaitFor(before + 1) && kt::Text(m_seen.At(before)) == "ping", "not delivered");
    }

    // Starts a listener with the record and, when it starts, exercises its
    // first receive thread and releases it. Afterwards the listener must hold
    // nothing, its port must be free again, and nothing beside the object may
    // have been written.
    template <typename Listener, typename Record>
    long StartListener(Record *pointer, const Record *content, Then then, std::function<HANDLE(Listener &)> thread,
                       std::function<bool(Listener &)> holdsNothing)
    {
        int port = content != nullptr ? Port16(content->nPort) : m_port;
        kr::Fenced<Listener> listener;
        long started = listener->InitInstance(pointer);
        HANDLE first = started ? thread(*listener) : nullptr;
        if (first != nullptr) {
            HANDLE copy = kt::DuplicateThread(first);
            EXPECT_TRUE(Exercise(port, then, copy));
            listener->Release();
            CloseHandle(copy);
        }
        EXPECT_TRUE(holdsNothing(*listener));
        EXPECT_TRUE(kt::UdpPortFree(0, port)) << "the port is still held";
        EXPECT_TRUE(listener.GuardsIntact()) << "written beside the listener";
        return started;
    }

    tagParamListen Listen() { return kr::ListenRecord(kt::Collector::Receive, &m_seen, m_port); }
    tagParamListen3 Listen3(int nCount = 2) { return kr::Listen3Record(kt::Collector::Receive, &m_seen, m_port, nCount); }

    static bool Idle(CKesListen &l)
    {
        return l.m_pSocket == nullptr && l.m_hThread == nullptr && l.m_echoSend.m_pSocket == nullptr;
    }
    static bool Idle(CKesListen3 &l)
    {
        for (int i = 0; i < 8; ++i)
            if (l.m_pSocket[i] != nullptr || l.m_hThread[i] != nullptr)
                return false;
        return true;
    }

    int m_port = 0;
    kt::RawUdp m_sender;
    kt::RawUdp m_echoes{Loopback(), ECHO_PORT};
};

TEST_F(BadListenInput, CKesListenInitInstance)
{
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    std::vector<FieldCase<tagParamListen>> cases = ListenFieldCases<tagParamListen>(m_bad);
    cases.insert(cases.end(), {
        {"echo 2", [](tagParamListen &r) { r.bEcho = 2; }, 1, Then::kEchoes},
        {"echo -1", [](tagParamListen &r) { r.bEcho = -1; }, 1, Then::kEchoes},
        {"echo with a null callback", [](tagParamListen &r) { r.bEcho = 1, r.pfnReceive = nullptr; }, 1,
         Then::kEndsItsThread},
        {"any interface", [](tagParamListen &r) { r.dwLocalAddr = 0; }, 1, Then::kDelivers},
        {"an address the host does not have", [](tagParamListen &r) { r.dwLocalAddr = kr::ForeignAddress(); },
         foreignBinds ? 1 : 0, Then::kDelivers},
    });
    kt::ExpectRows(InitInstanceRows<tagParamListen>(
        m_bad, Listen(), 0, cases, [this](tagParamListen *pointer, const tagParamListen *content, Then then) {
            return StartListener<CKesListen>(
                pointer, content, then, [](CKesListen &l) { return l.m_hThread; },
                [](CKesListen &l) { return Idle(l); });
        }));
}

TEST_F(BadListenInput, CKesListen3InitInstance)
{
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    std::vector<FieldCase<tagParamListen3>> cases = ListenFieldCases<tagParamListen3>(m_bad);
    cases.insert(cases.end(), {
        {"eight times the same address",
         [](tagParamListen3 &r) {
             r.nCount = 8;
             for (DWORD &a : r.dwLocalAddr)
                 a = Loopback();
         },
         1, Then::kDelivers},
        {"a second address the host does not have", [](tagParamListen3 &r) { r.dwLocalAddr[1] = kr::ForeignAddress(); },
         foreignBinds ? 1 : 0, Then::kDelivers},
    });
    kt::ExpectRows(InitInstanceRows<tagParamListen3>(
        m_bad, Listen3(), 0, cases, [this](tagParamListen3 *pointer, const tagParamListen3 *content, Then then) {
            return StartListener<CKesListen3>(
                pointer, content, then, [](CKesListen3 &l) { return l.m_hThread[0]; },
                [](CKesListen3 &l) { return Idle(l); });
        }));
}

TEST_F(BadListenInput, CKesListenRelease)
{
    tagParamListen bad = Listen();
    bad.nMode = 2;
    bad.dwGroupAddr = kt::Addr("10.1.2.3");
    kt::ExpectRows(ReleaseRows<CKesListen>(Listen(), bad, [](CKesListen &l) { return Idle(l); }));
}

TEST_F(BadListenInput, CKesListen3Release)
{
    kt::ExpectRows(ReleaseRows<CKesListen3>(Listen3(), Listen3(0), [](CKesListen3 &l) { return Idle(l); }));
}

// ---------------------------------------------------------------------------
// The datagram senders.

class BadSendInput : public BadObjectInput {
protected:
    void SetUp() override
    {
        BadObjectInput::SetUp();
        ASSERT_TRUE(m_receiver.ok());
        m_payload = static_cast<char *>(m_bad.ReadOnly("payload", 7));
        std::vector<char> big(65508, 'b');
        m_big = static_cast<char *>(m_bad.ReadOnly(big.data(), big.size()));
    }

    Row::Check Arrives(size_t length)
    {
        return [this, length] {
            kt::Datagram d;
            return kt::Holds(m_receiver.Receive(&d) && d.data.size() == length, "the datagram did not arrive whole");
        };
    }
    Row::Check Nothing()
    {
        return [this] { return kt::Holds(kr::NothingArrived(m_receiver), "a datagram was sent"); };
    }

    kt::RawUdp m_receiver;
    char *m_payload = nullptr;
    char *m_big = nullptr;
};

// Record cases of the two senders on one interface.
std::vector<FieldCase<tagParamSend>> SendFieldCases(bool foreignBinds)
{
    return {
        {"dwSize 0xFFFFFFFF", [](tagParamSend &r) { r.dwSize = kAll; }, 1, Then::kDelivers},
        {"any interface", [](tagParamSend &r) { r.dwLocalAddr = 0; }, 1, Then::kDelivers},
        {"an address the host does not have", [](tagParamSend &r) { r.dwLocalAddr = kr::ForeignAddress(); },
         foreignBinds ? 1 : 0, Then::kDelivers},
        {"echo time-out 0", [](tagParamSend &r) { r.dwEchoTimeout = 0; }, 1, Then::kDelivers},
        {"echo time-out INFINITE", [](tagParamSend &r) { r.dwEchoTimeout = INFINITE; }, 1, Then::kDelivers},
        {"port above 65535", [](tagParamSend &r) { r.nDestPort += 65536; }, 1, Then::kDelivers},
        {"negative port", [](tagParamSend &r) { r.nDestPort -= 65536; }, 1, Then::kDelivers},
    };
}

TEST_F(BadSendInput, CKesSendInitInstance)
{
    std::vector<FieldCase<tagParamSend>> cases = SendFieldCases(kr::BindsForeignAddress(SOCK_DGRAM));
    cases.insert(cases.end(), {
        {"mode 0 sends nothing", [](tagParamSend &r) { r.nMode = 0; }, 1, Then::kSendsNothing},
        {"mode 3 sends nothing", [](tagParamSend &r) { r.nMode = 3; }, 1, Then::kSendsNothing},
        {"mode -1 sends nothing", [](tagParamSend &r) { r.nMode = -1; }, 1, Then::kSendsNothing},
        {"multicast to an address that is no group",
         [](tagParamSend &r) { r.nMode = 2, r.dwDestAddr = kt::Addr("10.1.2.3"); }, 0, Then::kSendsNothing},
        {"multicast to group 0", [](tagParamSend &r) { r.nMode = 2, r.dwDestAddr = 0; }, 0, Then::kSendsNothing},
    });
    // When the sender is set up, one datagram goes out with the record's
    // defaults, and the sender is released.
    kt::ExpectRows(InitInstanceRows<tagParamSend>(
        m_bad, kr::SendRecord(m_receiver.port()), 1, cases, [this](tagParamSend *pointer, const tagParamSend *content, Then then) {
            kr::Fenced<CKesSend> sender;
            long ready = sender->InitInstance(pointer);
            if (ready && content != nullptr) {
                EXPECT_EQ(1, sender->Send(m_payload, 7, 0, 0));
                EXPECT_TRUE(then == Then::kDelivers ? Arrives(7)() : Nothing()());
            }
            sender->Release();
            EXPECT_EQ(nullptr, sender->m_pSocket);
            EXPECT_TRUE(sender.GuardsIntact()) << "written beside the sender";
            return ready;
        }));
}

// The data rows that every datagram sender's Send shares: send(data, length,
// address, port) with the sender set up towards the receiver. Sending from
// unreadable memory fails in the system's send without harm, so Send needs no
// test of its own there.
std::vector<Row> SendDataRows(std::function<long(void *, unsigned long, DWORD, int)> send, kr::BadMemory &bad,
                              char *payload, char *big, int port, Row::Check nothing,
                              std::function<Row::Check(size_t)> arrives)
{
    return {
        {"read-only data with the record's destination", [=] { return send(payload, 7, 0, 0); }, 1, arrives(7)},
        {"null data, length 0", [=] { return send(nullptr, 0, 0, 0); }, 1, arrives(0)},
        {"null data, length 1", [=] { return send(nullptr, 1, 0, 0); }, 0, nothing},
        {"data with no access", [=, &bad] { return send(bad.NoAccess(), 7, 0, 0); }, 0, nothing},
        {"data running into memory with no access", [=, &bad] { return send(bad.Tail(6), 7, 0, 0); }, 0, nothing},
        {"length INT_MAX", [=] { return send(payload, INT_MAX, 0, 0); }, 0, nothing},
        {"length 0xFFFFFFFF", [=] { return send(payload, kAll, 0, 0); }, 0, nothing},
        {"largest datagram", [=] { return send(big, 65507, 0, 0); }, 1, arrives(65507)},
        {"one byte more than a datagram holds", [=] { return send(big, 65508, 0, 0); }, 0, nothing},
        {"explicit address and port", [=] { return send(payload, 7, Loopback(), port); }, 1, arrives(7)},
        {"port above 65535 keeps its low 16 bits", [=] { return send(payload, 7, 0, port + 65536); }, 1, arrives(7)},
    };
}

TEST_F(BadSendInput, CKesSendSend)
{
    kr::Fenced<CKesSend> sender;
    kt::ExpectRows({{"before InitInstance", [&] { return sender->Send(m_payload, 7, Loopback(), m_receiver.port()); }, 0,
                     Nothing()}});
    tagParamSend record = kr::SendRecord(m_receiver.port());
    ASSERT_EQ(1, sender->InitInstance(&record));
    auto send = [&](void *data, unsigned long length, DWORD addr, int port) -> long {
        return sender->Send(data, length, addr, port);
    };
    std::vector<Row> rows = SendDataRows(send, m_bad, m_payload, m_big, m_receiver.port(), Nothing(),
                                         [this](size_t n) { return Arrives(n); });
    rows.push_back({"negative port keeps its low 16 bits",
                    [&] { return sender->Send(m_payload, 7, 0, m_receiver.port() - 65536); }, 1, Arrives(7)});
    rows.push_back({"after Release",
                    [&] {
                        sender->Release();
                        return sender->Send(m_payload, 7, 0, 0);
                    },
                    0, Nothing()});
    kt::ExpectRows(rows);
    EXPECT_TRUE(sender.GuardsIntact());
}

TEST_F(BadSendInput, CKesSendRelease)
{
    tagParamSend bad = kr::SendRecord(m_receiver.port());
    bad.nMode = 2;
    bad.dwDestAddr = kt::Addr("10.1.2.3");
    kt::ExpectRows(ReleaseRows<CKesSend>(kr::SendRecord(m_receiver.port()), bad,
                                         [](CKesSend &s) { return s.m_pSocket == nullptr; }));
}

// The acknowledged sender binds the echo port, and its destination is a
// listener that echoes.
class BadSend2Input : public BadSendInput {
protected:
    void SetUp() override
    {
        BadSendInput::SetUp();
        ASSERT_TRUE(m_listener.ok());
    }

    tagParamSend Send2()
    {
        tagParamSend record = kr::SendRecord(m_listener.port());
        record.dwEchoTimeout = kt::Bound(2000);
        return record;
    }
    Row::Check Answered(size_t length)
    {
        return [this, length] {
            return kt::Holds(m_listener.seen.WaitFor(m_delivered + 1) && m_listener.seen.At(m_delivered++).data.size() == length,
                         "not delivered");
        };
    }
    Row::Check NotSent()
    {
        return [this] { return kt::Holds(m_listener.seen.Count() == m_delivered, "a datagram was delivered"); };
    }
    static bool Idle(CKesSend2 &s)
    {
        return s.m_pSocket == nullptr && s.m_echoListen.m_pSocket == nullptr && s.m_hEchoEvent == nullptr;
    }

    kr::EchoingListener m_listener;
    size_t m_delivered = 0;
};

TEST_F(BadSend2Input, CKesSend2InitInstance)
{
    std::vector<FieldCase<tagParamSend>> cases = SendFieldCases(kr::BindsForeignAddress(SOCK_DGRAM));
    for (int mode : {0, 2, 3, -1, INT_MIN})
        cases.push_back({"mode " + std::to_string(mode), [mode](tagParamSend &r) { r.nMode = mode; }, 0, Then::kDelivers});
    // A null record keeps the constructor's parameters: any interface.
    kt::ExpectRows(InitInstanceRows<tagParamSend>(m_bad, Send2(), 1, cases, [](tagParamSend *pointer, const tagParamSend *, Then) {
        kr::Fenced<CKesSend2> sender;
        long ready = sender->InitInstance(pointer);
        sender->Release();
        EXPECT_TRUE(Idle(*sender));
        EXPECT_TRUE(kt::UdpPortFree(0, ECHO_PORT)) << "the echo port is still held";
        EXPECT_TRUE(sender.GuardsIntact()) << "written beside the sender";
        return ready;
    }));
}

TEST_F(BadSend2Input, CKesSend2Send)
{
    kr::Fenced<CKesSend2> sender;
    kt::ExpectRows({{"before InitInstance", [&] { return sender->Send(m_payload, 7, Loopback(), m_listener.port()); }, 0,
                     NotSent()}});
    tagParamSend record = Send2();
    ASSERT_EQ(1, sender->InitInstance(&record));
    auto send = [&](void *data, unsigned long length, DWORD addr, int port) -> long {
        return sender->Send(data, length, addr, port);
    };
    std::vector<Row> rows = SendDataRows(send, m_bad, m_payload, m_big, m_listener.port(), NotSent(),
                                         [this](size_t n) { return Answered(n); });
    rows.push_back({"a destination that does not answer", [&] { return sender->Send(m_payload, 7, 0, m_receiver.port()); },
                    0, [this] {
                        kt::Datagram d;
                        return kt::Holds(m_receiver.Receive(&d), "not sent");
                    }});
    rows.push_back({"after Release",
                    [&] {
                        sender->Release();
                        return sender->Send(m_payload, 7, 0, 0);
                    },
                    0, NotSent()});
    kt::ExpectRows(rows);
    EXPECT_TRUE(sender.GuardsIntact());
}

TEST_F(BadSend2Input, CKesSend2Release)
{
    tagParamSend bad = Send2();
    bad.nMode = 2;
    kt::ExpectRows(ReleaseRows<CKesSend2>(Send2(), bad, [](CKesSend2 &s) { return Idle(s); }));
}

TEST_F(BadSendInput, CKesSend3InitInstance)
{
    bool foreignBinds = kr::BindsForeignAddress(SOCK_DGRAM);
    std::vector<FieldCase<tagParamSend3>> cases = {
        {"dwSize 0", [](tagParamSend3 &r) { r.dwSize = 0; }, 1, Then::kDelivers},
        {"mode 0 sends nothing", [](tagParamSend3 &r) { r.nMode = 0; }, 1, Then::kSendsNothing},
        {"mode 3 sends nothing", [](tagParamSend3 &r) { r.nMode = 3; }, 1, Then::kSendsNothing},
        {"mode -1 sends nothing", [](tagParamSend3 &r) { r.nMode = -1; }, 1, Then::kSendsNothing},
        {"multicast to an address that is no group",
         [](tagParamSend3 &r) { r.nMode = 2, r.dwDestAddr = kt::Addr("10.1.2.3"); }, 0, Then::kSendsNothing},
        {"multicast to group 0", [](tagParamSend3 &r) { r.nMode = 2, r.dwDestAddr = 0; }, 0, Then::kSendsNothing},
        {"a second address the host does not have",
         [](tagParamSend3 &r) { r.dwLocalAddr[1] = kr::ForeignAddress(); }, foreignBinds ? 1 : 0, Then::kDelivers},
        {"port above 65535", [](tagParamSend3 &r) { r.nDestPort += 65536; }, 1, Then::kDelivers},
    };
    // When the sender is set up, one datagram goes out (a copy per socket)
    // and the sender is released. The record is copied whole, and nothing
    // beyond the eighth slot is touched.
    Start<tagParamSend3> start = [this](tagParamSend3 *pointer, const tagParamSend3 *content, Then then) {
        kr::Fenced<CKesSend3> sender;
        long ready = sender->InitInstance(pointer);
        if (ready && content != nullptr) {
            int copies = then == Then::kDelivers ? sender->m_param.nCount : 0;
            EXPECT_EQ(1, sender->Send(reinterpret_cast<unsigned char *>(m_payload), 7, 0, 0));
            for (int i = 0; i < copies; ++i)
                EXPECT_TRUE(Arrives(7)()) << "copy " << i;
            EXPECT_TRUE(Nothing()());
        }
        sender->Release();
        EXPECT_TRUE(content == nullptr || memcmp(content, &sender->m_param, sizeof *content) == 0)
            << "the record was not copied whole";
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(nullptr, sender->m_pSocket[i]) << "slot " << i;
        EXPECT_TRUE(sender.GuardsIntact()) << "written beside the sender";
        return ready;
    };
    // A null record on a new sender keeps its count of 0.
    kt::ExpectRows(InitInstanceRows<tagParamSend3>(m_bad, kr::Send3Record(m_receiver.port(), 2), 0, cases, start));
}

TEST_F(BadSendInput, CKesSend3Send)
{
    kr::Fenced<CKesSend3> sender;
    tagParamSend3 record = kr::Send3Record(m_receiver.port(), 1);
    ASSERT_EQ(1, sender->InitInstance(&record));
    auto send = [&](void *data, unsigned long length, DWORD addr, int port) -> long {
        return sender->Send(static_cast<unsigned char *>(data), length, addr, static_cast<unsigned short>(port));
    };
    std::vector<Row> rows = SendDataRows(send, m_bad, m_payload, m_big, m_receiver.port(), Nothing(),
                                         [this](size_t n) { return Arrives(n); });
    // The host may change the record it can reach in the object; counts that
    // no set-up accepts must still not reach past the eight slots.
    for (int count : {9, INT_MAX}) {
        rows.push_back({"count changed to " + std::to_string(count) + " after the set-up",
                        [&, count] {
                            sender->m_param.nCount = count;
                            long sent = send(m_payload, 7, 0, 0);
                            sender->m_param.nCount = 1;
                            return sent;
                        },
                        0, Nothing()});
    }
    rows.push_back({"after Release",
                    [&] {
                        sender->Release();
                        return send(m_payload, 7, 0, 0);
                    },
                    0, Nothing()});
    kt::ExpectRows(rows);
    EXPECT_TRUE(sender.GuardsIntact());
}

TEST_F(BadSendInput, CKesSend3Release)
{
    kt::ExpectRows(ReleaseRows<CKesSend3>(kr::Send3Record(m_receiver.port(), 2), kr::Send3Record(m_receiver.port(), 9),
                                          [](CKesSend3 &s) {
                                              for (CUdpSocket *slot : s.m_pSocket)
                                                  if (slot != nullptr)
                                                      return false;
                                              return true;
                                          }));
}

// ---------------------------------------------------------------------------
// The stream objects, made by the factory and reached through their
// interfaces.

class BadStreamInput : public BadObjectInput {
protected:
    void SetUp() override
    {
        BadObjectInput::SetUp();
        m_port = kt::FreeTcpPort();
        ASSERT_GT(m_port, 0);
    }

    // A client connects to port and sends a block. kDelivers: the block
    // reaches the callback. Otherwise the client ends its stream, and the
    // listener must read and close the connection without calling anything
    // (or turn the client away).
    ::testing::AssertionResult Exercise(int port, Then then)
    {
        kt::RawTcp client;
        if (then == Then::kDelivers)
            return kt::Holds(client.Connect(Loopback(), port) && client.Send("block") &&
                             m_reads.WaitForBytes(client.localAddr(), client.localPort(), 5),
                         "not delivered");
        if (!client.Connect(Loopback(), port))
            return ::testing::AssertionSuccess();  // refused outright
        client.Send("block");  // may fail when the listener has reset it already
        client.ShutdownSend();
        bool closed = client.WaitClosed();
        return kt::Holds(closed && m_reads.StreamFrom(client.localAddr(), client.localPort()).empty(),
                     "the connection was not served and closed");
    }

    // Makes a listener of the kind, starts it with the record and, when it
    // starts, exercises and releases it; afterwards nothing listens on port.
    template <typename Object, typename Record>
    long StartListener(int code, Record *pointer, const Record *content, Then then)
    {
        int port = content != nullptr ? Port16(content->nPort) : m_port;
        kt::StreamObject<Object> listener(static_cast<Object *>(KesCreateObject(code)));
        long started = listener->InitInstance(pointer);
        if (started) {
            EXPECT_TRUE(Exercise(port, then));
            listener->Release();
        }
        EXPECT_TRUE(kt::ConnectRefused(Loopback(), port)) << "nothing listens on port " << port << " any more";
        return started;
    }

    tagParamListen3 Listen3(int nCount = 2)
    {
        return kr::Listen3Record(kt::Collector::Receive, &m_reads, m_port, nCount);
    }

    kt::Collector m_reads;
    int m_port = 0;
};

// The fields of a stream listener's record at their extremes. The cases are
// made on tagParamListen3 and carried over to tagParamListen for the listener
// on one address, which has the same fields but for the address array.
std::vector<FieldCase<tagParamListen3>> StreamListenFieldCases(kr::BadMemory &bad)
{
    std::vector<FieldCase<tagParamListen3>> cases = {
        {"dwSize 0", [](tagParamListen3 &r) { r.dwSize = 0; }, 1, Then::kDelivers},
        {"mode 2 without a group is ignored", [](tagParamListen3 &r) { r.nMode = 2, r.dwGroupAddr = 0; }, 1,
         Then::kDelivers},
        {"mode -1 is ignored", [](tagParamListen3 &r) { r.nMode = -1; }, 1, Then::kDelivers},
        {"port above 65535 keeps its low 16 bits", [](tagParamListen3 &r) { r.nPort += 65536; }, 1, Then::kDelivers},
        {"negative port keeps its low 16 bits", [](tagParamListen3 &r) { r.nPort -= 65536; }, 1, Then::kDelivers},
        {"backlog 0 serves no one", [](tagParamListen3 &r) { r.nBacklog = 0; }, 1, Then::kDropsIt},
        {"backlog -1 serves no one", [](tagParamListen3 &r) { r.nBacklog = -1; }, 1, Then::kDropsIt},
        {"backlog INT_MIN serves no one", [](tagParamListen3 &r) { r.nBacklog = INT_MIN; }, 1, Then::kDropsIt},
        {"backlog 1000", [](tagParamListen3 &r) { r.nBacklog = 1000; }, 1, Then::kDelivers},
        {"backlog INT_MAX", [](tagParamListen3 &r) { r.nBacklog = INT_MAX; }, 1, Then::kDelivers},
        {"stop time-out 0", [](tagParamListen3 &r) { r.dwStopTimeout = 0; }, 1, Then::kDelivers},
        {"stop time-out INFINITE", [](tagParamListen3 &r) { r.dwStopTimeout = INFINITE; }, 1, Then::kDelivers},
        {"idle priority", [](tagParamListen3 &r) { r.nPriority = THREAD_PRIORITY_IDLE; }, 1, Then::kDelivers},
        {"time-critical priority", [](tagParamListen3 &r) { r.nPriority = THREAD_PRIORITY_TIME_CRITICAL; }, 1,
         Then::kDelivers},
        {"priority 3, which does not exist", [](tagParamListen3 &r) { r.nPriority = 3; }, 0, Then::kDelivers},
        {"priority INT_MIN", [](tagParamListen3 &r) { r.nPriority = INT_MIN; }, 0, Then::kDelivers},
        {"priority INT_MAX", [](tagParamListen3 &r) { r.nPriority = INT_MAX; }, 0, Then::kDelivers},
        // Alone: on Linux a listener on any address and one on 127.0.0.2 cannot
        // share a port, address reuse or not.
        {"any interface", [](tagParamListen3 &r) { r.dwLocalAddr[0] = 0, r.nCount = 1; }, 1, Then::kDelivers},
        {"an address the host does not have", [](tagParamListen3 &r) { r.dwLocalAddr[0] = kr::ForeignAddress(); },
         kr::BindsForeignAddress(SOCK_STREAM) ? 1 : 0, Then::kDelivers},
    };
    for (const FieldCase<tagParamListen3> &c : CallbackCases<tagParamListen3>(bad, Then::kDropsIt))
        cases.push_back(c);
    return cases;
}

tagParamListen OneAddress(const tagParamListen3 &three)
{
    tagParamListen record = kr::ListenRecord(three.pfnReceive, three.pUserData, three.nPort, three.dwLocalAddr[0]);
    record.dwSize = three.dwSize;
    record.nMode = three.nMode;
    record.dwGroupAddr = three.dwGroupAddr;
    record.nPriority = three.nPriority;
    record.nBacklog = three.nBacklog;
    record.dwStopTimeout = three.dwStopTimeout;
    return record;
}

TEST_F(BadStreamInput, CTcpListenInitInstance)
{
    std::vector<FieldCase<tagParamListen>> cases;
    for (const FieldCase<tagParamListen3> &c : StreamListenFieldCases(m_bad)) {
        cases.push_back({c.what,
                         [c](tagParamListen &r) {
                             tagParamListen3 three = kr::Listen3Record(r.pfnReceive, r.pUserData, r.nPort, 1);
                             c.change(three);
                             r = OneAddress(three);
                         },
                         c.expected, c.then});
    }
    cases.push_back({"echo is ignored", [](tagParamListen &r) { r.bEcho = -1; }, 1, Then::kDelivers});
    kt::ExpectRows(InitInstanceRows<tagParamListen>(
        m_bad, OneAddress(Listen3(1)), 0, cases, [this](tagParamListen *pointer, const tagParamListen *content, Then then) {
            return StartListener<CTcpListenObject>(KES_OBJECT_TCPLISTEN, pointer, content, then);
        }));
}

TEST_F(BadStreamInput, CTcpListen3InitInstance)
{
    std::vector<FieldCase<tagParamListen3>> cases = StreamListenFieldCases(m_bad);
    cases.insert(cases.end(), {
        {"a second address the host does not have", [](tagParamListen3 &r) { r.dwLocalAddr[1] = kr::ForeignAddress(); },
         kr::BindsForeignAddress(SOCK_STREAM) ? 1 : 0, Then::kDelivers},
    });
    kt::ExpectRows(InitInstanceRows<tagParamListen3>(
        m_bad, Listen3(), 0, cases, [this](tagParamListen3 *pointer, const tagParamListen3 *content, Then then) {
            return StartListener<CTcpListen3Object>(KES_OBJECT_TCPLISTEN3, pointer, content, then);
        }));
}

// Release out of order on the stream listeners: never started, after a failed
// start, twice. The object is then deleted, which must be harmless too.
template <typename Object, typename Record>
std::function<long()> StreamReleaseRow(int code, Record record, int starts, int port)
{
    return [=]() mutable -> long {
        Object *listener = static_cast<Object *>(KesCreateObject(code));
        for (int i = 0; i < starts; ++i) {
            listener->InitInstance(&record);
            listener->Release();
        }
        listener->Release();
        listener->Delete();
        return kt::ConnectRefused(Loopback(), port);
    };
}

TEST_F(BadStreamInput, CTcpListenAndCTcpListen3Release)
{
    tagParamListen good = OneAddress(Listen3(1)), bad = good;
    bad.nPriority = INT_MAX;
    const int one = KES_OBJECT_TCPLISTEN, three = KES_OBJECT_TCPLISTEN3;
    kt::ExpectRows({
        {"CTcpListen never started", StreamReleaseRow<CTcpListenObject>(one, good, 0, m_port), 1},
        {"CTcpListen after a failed start", StreamReleaseRow<CTcpListenObject>(one, bad, 1, m_port), 1},
        {"CTcpListen twice", StreamReleaseRow<CTcpListenObject>(one, good, 1, m_port), 1},
        {"CTcpListen3 never started", StreamReleaseRow<CTcpListen3Object>(three, Listen3(), 0, m_port), 1},
        {"CTcpListen3 after a failed start", StreamReleaseRow<CTcpListen3Object>(three, Listen3(9), 1, m_port), 1},
        {"CTcpListen3 twice", StreamReleaseRow<CTcpListen3Object>(three, Listen3(), 1, m_port), 1},
    });
}

class BadTcpSendInput : public BadStreamInput {
protected:
    void SetUp() override
    {
        BadStreamInput::SetUp();
        ASSERT_TRUE(m_server.ok());
    }
    tagParamSend Connect() { return kr::SendRecord(m_server.port(), 0); }

    kt::RawTcpServer m_server{Loopback()};
    char *m_payload = static_cast<char *>(m_bad.ReadOnly("payload", 7));
};

TEST_F(BadTcpSendInput, CTcpSendInitInstance)
{
    std::vector<FieldCase<tagParamSend>> cases = {
        {"mode, size and echo time-out are ignored",
         [](tagParamSend &r) { r.nMode = -1, r.dwSize = 0, r.dwEchoTimeout = INFINITE; }, 1, Then::kDelivers},
        {"port above 65535 keeps its low 16 bits", [](tagParamSend &r) { r.nDestPort += 65536; }, 1, Then::kDelivers},
        {"negative port keeps its low 16 bits", [](tagParamSend &r) { r.nDestPort -= 65536; }, 1, Then::kDelivers},
        {"port 0", [](tagParamSend &r) { r.nDestPort = 0; }, 0, Then::kDelivers},
        {"from loopback", [](tagParamSend &r) { r.dwLocalAddr = Loopback(); }, 1, Then::kDelivers},
        {"from an address the host does not have", [](tagParamSend &r) { r.dwLocalAddr = kr::ForeignAddress(); },
         kr::BindsForeignAddress(SOCK_STREAM) ? 1 : 0, Then::kDelivers},
    };
    if (kt::InPrivateNetwork()) {
        // Refused before anything leaves; kept inside the private network all
        // the same.
        cases.push_back({"to the broadcast address", [](tagParamSend &r) { r.dwDestAddr = INADDR_BROADCAST; }, 0,
                         Then::kDelivers});
        cases.push_back({"to a multicast group", [](tagParamSend &r) { r.dwDestAddr = kt::Addr("239.77.3.9"); }, 0,
                         Then::kDelivers});
    }
    // When the sender connects, the server accepts it, and it sends a block
    // and is released; the server gets exactly the block.
    kt::ExpectRows(InitInstanceRows<tagParamSend>(m_bad, Connect(), 0, cases, [this](tagParamSend *pointer, const tagParamSend *, Then) {
        kt::StreamObject<CTcpSendObject> sender(static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
        long connected = sender->InitInstance(pointer);
        if (connected) {
            std::unique_ptr<kt::RawTcp> peer = m_server.Accept();
            EXPECT_EQ(1, sender->Send(m_payload, 7));
            sender->Release();
            std::vector<unsigned char> bytes;
            EXPECT_TRUE(peer != nullptr && peer->WaitClosed(&bytes));
            EXPECT_EQ(kt::Bytes("payload"), bytes);
        }
        EXPECT_EQ(0u, static_cast<CTcpSend *>(sender.get())->m_socket);
        return connected;
    }));
}

TEST_F(BadTcpSendInput, CTcpSendSend)
{
    kt::StreamObject<CTcpSendObject> sender(static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
    kt::ExpectRows({{"before InitInstance", [&] { return sender->Send(m_payload, 7); }, 0}});
    tagParamSend record = Connect();
    ASSERT_EQ(1, sender->InitInstance(&record));
    std::unique_ptr<kt::RawTcp> peer = m_server.Accept();
    ASSERT_NE(nullptr, peer);
    kt::ExpectRows({
        {"read-only data", [&] { return sender->Send(m_payload, 7); }, 1},
        {"null data, length 0", [&] { return sender->Send(nullptr, 0); }, 1},
        {"null data, length 1", [&] { return sender->Send(nullptr, 1); }, 0},
        {"data with no access", [&] { return sender->Send(m_bad.NoAccess(), 7); }, 0},
        {"data running into memory with no access", [&] { return sender->Send(m_bad.Tail(6), 7); }, 0},
        {"length INT_MAX", [&] { return sender->Send(m_payload, INT_MAX); }, 0},
        {"length 0xFFFFFFFF", [&] { return sender->Send(m_payload, kAll); }, 0},
        {"read-only data again", [&] { return sender->Send(m_payload, 7); }, 1},
    });
    sender->Release();
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(peer->WaitClosed(&bytes));
    EXPECT_EQ(kt::Bytes("payloadpayload"), bytes) << "only the good blocks were sent";
    EXPECT_EQ(0, sender->Send(m_payload, 7)) << "after Release";
}

TEST_F(BadTcpSendInput, CTcpSendRelease)
{
    tagParamSend good = Connect(), refused = Connect();
    refused.nDestPort = 0;
    auto released = [&](std::function<void(CTcpSendObject *)> before) {
        return [&, before]() -> long {
            kt::StreamObject<CTcpSendObject> sender(static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
            before(sender.get());
            sender->Release();
            return static_cast<CTcpSend *>(sender.get())->m_socket == 0;
        };
    };
    kt::ExpectRows({
        {"never connected", released([](CTcpSendObject *) {}), 1},
        {"after a failed connect", released([&](CTcpSendObject *s) { EXPECT_EQ(0, s->InitInstance(&refused)); }), 1},
        {"twice", released([&](CTcpSendObject *s) {
             EXPECT_EQ(1, s->InitInstance(&good));
             s->Release();
         }),
         1},
    });
}

// ---------------------------------------------------------------------------
// The records and the classes' own copies: the only input is the source of a
// copy, which may be the target itself or lie in read-only memory.

template <typename T>
bool SameBytes(const T &a, const T &b)
{
    return memcmp(&a, &b, sizeof(T)) == 0;
}

TEST_F(BadObjectInput, RecordsAndCopies)
{
    tagParamListen3 listen3;
    listen3.nCount = 8;
    listen3.dwLocalAddr[7] = 7;
    tagParamSend3 send3;
    send3.dwLocalAddr[7] = 7;
    tagParamSend send;
    send.nDestPort = 9;
    tagParamListen listen;
    listen.nBacklog = 9;
    auto selfAssigned = [](auto value) {
        return [value]() mutable -> long {
            auto before = value;
            auto &alias = value;
            value = alias;
            return SameBytes(before, value);
        };
    };
    auto fromReadOnly = [this](auto value) {
        return [this, value]() -> long {
            decltype(value) target;
            target = *m_bad.ReadOnlyCopy(value);
            return SameBytes(target, value);
        };
    };
    kt::ExpectRows({
        {"tagParamSend assigned to itself", selfAssigned(send), 1},
        {"tagParamListen assigned to itself", selfAssigned(listen), 1},
        {"tagParamSend3 assigned to itself", selfAssigned(send3), 1},
        {"tagParamListen3 assigned to itself", selfAssigned(listen3), 1},
        {"tagParamSend from read-only memory", fromReadOnly(send), 1},
        {"tagParamListen from read-only memory", fromReadOnly(listen), 1},
        {"tagParamSend3 from read-only memory", fromReadOnly(send3), 1},
        {"tagParamListen3 from read-only memory", fromReadOnly(listen3), 1},
    });
    // Every exported class assigned to itself keeps what it holds.
    CKesSend sender;
    tagParamSend record = kr::SendRecord(9);
    ASSERT_EQ(1, sender.InitInstance(&record));
    CKesSend &alias = sender;
    CUdpSocket *socket = sender.m_pSocket;
    sender = alias;
    EXPECT_EQ(socket, sender.m_pSocket);
    sender.Release();
    CKesSend3 sender3;
    CKesSend3 &alias3 = sender3;
    sender3 = alias3;
    EXPECT_EQ(nullptr, sender3.m_pSocket[0]);
    CKesListen3 listener3;
    CKesListen3 &aliasListener3 = listener3;
    listener3 = aliasListener3;
    EXPECT_EQ(nullptr, listener3.m_hThread[0]);
    CKesListen listener;
    CKesListen &aliasListener = listener;
    listener = aliasListener;
    EXPECT_EQ(nullptr, listener.m_hThread);
    CKesSend2 sender2;
    CKesSend2 &aliasSender2 = sender2;
    sender2 = aliasSender2;
    EXPECT_EQ(nullptr, sender2.m_pSocket);
}

}  // namespace
