// TCP under load and churn: 62 clients streaming in parallel to one address of
// a stream listener while clients beyond its capacity are turned away, and
// thousands of connections that come and go (closed at once, reset, cut off
// in the middle of a block) while steady clients stream on. Afterwards the
// listener must serve a full house again.
//
// Each connection sends an 8-byte header (a mark and its own number), then
// bytes that only it produces; the callback checks every byte against the
// stream of the connection it came from.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "census.h"
#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream_support.h"
#include "traffic.h"
#include "common/socket_address.h"

namespace {

const uint32_t kMark = 0x4E54534Bu;  // "KSTN"
const size_t kHeader = 8;            // the mark, then the connection's number
const int kCapacity = 62;            // clients one address serves at once
const int kClients = 100;            // clients that try at once

// The bytes connection id sends after its header, one after the other.
class Pattern {
public:
    explicit Pattern(uint32_t id) : m_random(id * 2654435761u + 0x5BD1E995u) {}
    unsigned char Next()
    {
        if (m_left == 0) {
            m_word = m_random.Next();
            m_left = 4;
        }
        unsigned char b = static_cast<unsigned char>(m_word);
        m_word >>= 8;
        --m_left;
        return b;
    }
    void Fill(unsigned char *p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            p[i] = Next();
    }
    // True, and moves on past them, if the next n bytes are p.
    bool Follows(const unsigned char *p, size_t n)
    {
        Pattern copy = *this;
        for (size_t i = 0; i < n; ++i)
            if (copy.Next() != p[i])
                return false;
        *this = copy;
        return true;
    }

private:
    kt::Xorshift m_random;
    uint32_t m_word = 0;
    int m_left = 0;
};

// Checks every read a stream listener hands over; pass it as pUserData. A
// connection is known by its header; a later connection from the same address
// and port starts with a header of its own.
class StreamChecker {
public:
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        static_cast<StreamChecker *>(pUserData)->Check(static_cast<const unsigned char *>(pData), nLength, dwAddr,
                                                       nPort);
    }

    // The client tables of the listener's addresses, each with its serving
    // thread: inside the callback that thread is the only one that changes it.
    void Watch(DWORD threadId, const CTcpClientTable *table)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tables[threadId] = table;
    }

    uint32_t NewId() { return ++m_lastId; }

    // Bytes of connection id handed over, its header included.
    uint64_t Received(uint32_t id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return ReceivedLocked(id);
    }
    bool WaitForBytes(uint32_t id, uint64_t n, DWORD ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return ReceivedLocked(id) >= n; });
    }
    // Waits until the headers of n connections in all have arrived.
    bool WaitForConnections(size_t n, DWORD ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_received.size() >= n; });
    }
    size_t Connections()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.size();
    }
    // The clients its address served when the first bytes of id arrived; -1 if
    // they have not.
    int PlacesAtArrival(uint32_t id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_placesAtArrival.find(id);
        return it != m_placesAtArrival.end() ? it->second : -1;
    }
    int MostPlaces()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mostPlaces;
    }
    size_t Reads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reads;
    }
    const kt::FaultLog &Faults() const { return m_faults; }

private:
    struct Stream {
        uint32_t id;
        Pattern rest;
    };

    uint64_t ReceivedLocked(uint32_t id) const
    {
        auto it = m_received.find(id);
        return it != m_received.end() ? it->second : 0;
    }

    void Check(const unsigned char *p, int length, DWORD addr, int port)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_reads;
        if (length <= 0)
            return;  // a read of nothing: the client closed
        size_t n = static_cast<size_t>(length);
        const StreamKey key(GetCurrentThreadId(), addr, port);
        auto live = m_streams.find(key);
        if (live != m_streams.end() && live->second.rest.Follows(p, n)) {
            m_received[live->second.id] += n;
        } else if (uint32_t id = NewHeader(p, n)) {
            Stream stream = {id, Pattern(id)};
            if (!stream.rest.Follows(p + kHeader, n - kHeader))
                Fault(addr, port, "the first read of connection " + std::to_string(id) + " is not its own");
            m_streams.erase(key);
            m_streams.insert(std::make_pair(key, stream));
            m_received[id] += n;
            m_placesAtArrival[id] = Places();
        } else {
            Fault(addr, port, std::to_string(n) + " bytes that follow nothing this client sent");
        }
        m_changed.notify_all();
    }

    // The number in a header at the start of p, if it is one no connection has
    // used yet; else 0.
    uint32_t NewHeader(const unsigned char *p, size_t n) const
    {
        uint32_t mark, id;
        if (n < kHeader)
            return 0;
        memcpy(&mark, p, 4);
        memcpy(&id, p + 4, 4);
        if (mark != kMark || id == 0 || m_received.count(id) != 0)
            return 0;
        return id;
    }

    int Places()
    {
        auto table = m_tables.find(GetCurrentThreadId());
        if (table == m_tables.end())
            return -1;
        int places = table->second->Count();
        m_mostPlaces = std::max(m_mostPlaces, places);
        return places;
    }

    void Fault(DWORD addr, int port, const std::string &what)
    {
        m_faults.Add(kt::Dotted(addr) + ":" + std::to_string(port) + ": " + what);
    }

    std::atomic<uint32_t> m_lastId{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<DWORD, const CTcpClientTable *> m_tables;
    // A stream is known by the thread that serves it (one per local address
    // of the listener) and by the client's address and port: the system gives
    // two clients the same port when they connect to different addresses.
    typedef std::tuple<DWORD, DWORD, int> StreamKey;
    std::map<StreamKey, Stream> m_streams;
    std::map<uint32_t, uint64_t> m_received;
    std::map<uint32_t, int> m_placesAtArrival;
    int m_mostPlaces = 0;
    size_t m_reads = 0;
    kt::FaultLog m_faults;
};

// How a connection ended, seen from the client.
enum Ending { kNotWaited, kClosedByListener, kResetByListener, kStillOpen };

const char *Describe(Ending ending)
{
    switch (ending) {
    case kClosedByListener:
        return "closed by the listener";
    case kResetByListener:
        return "reset by the listener";
    case kStillOpen:
        return "still open";
    default:
        return "not waited for";
    }
}

// One client connection of the tests, with plain Winsock calls.
class Client {
public:
    explicit Client(StreamChecker &checker) : m_id(checker.NewId()), m_pattern(m_id) {}
    ~Client() { Close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    uint32_t Id() const { return m_id; }
    uint64_t Sent() const { return m_sent; }

    bool Connect(DWORD addr, int port)
    {
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in to = MakeAddress(addr, port);
        return m_socket != INVALID_SOCKET &&
               connect(m_socket, reinterpret_cast<sockaddr *>(&to), sizeof to) != SOCKET_ERROR;
    }

    // Sends the next n bytes of the connection's stream, the header first.
    bool Send(size_t n)
    {
        std::vector<unsigned char> bytes = Next(n);
        size_t done = 0;
        while (done < bytes.size()) {
            int sent = send(m_socket, reinterpret_cast<char *>(bytes.data() + done),
                            static_cast<int>(bytes.size() - done), 0);
            if (sent == SOCKET_ERROR)
                return false;
            done += sent;
            m_sent += sent;
        }
        return true;
    }

    // Writes only the first part of the next n bytes, as a client does that
    // is cut off in the middle of a block: the listener sees the stream end at
    // an arbitrary byte.
    void SendPart(size_t n, kt::Xorshift &random)
    {
        Send(kHeader + random.Below(static_cast<uint32_t>(n - kHeader)));
    }

    // Ends the stream and waits for the listener to close its side.
    Ending Finish(DWORD ms)
    {
        shutdown(m_socket, SD_SEND);
        return WaitForListener(ms);
    }

    Ending WaitForListener(DWORD ms)
    {
        DWORD start = GetTickCount();
        char buffer[256];
        for (;;) {
            DWORD spent = GetTickCount() - start;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket, &readable);
            timeval limit = {static_cast<long>((ms - spent) / 1000), static_cast<long>(((ms - spent) % 1000) * 1000)};
            if (spent >= ms || select(0, &readable, nullptr, nullptr, &limit) != 1)
                return kStillOpen;
            int n = recv(m_socket, buffer, sizeof buffer, 0);
            if (n == 0)
                return kClosedByListener;
            if (n == SOCKET_ERROR)
                return kResetByListener;
        }
    }

    void Reset()
    {
        linger abort = {1, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&abort), sizeof abort);
        Close();
    }

    void Close()
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }

private:
    // The next n bytes of the stream; the header counts among them.
    std::vector<unsigned char> Next(size_t n)
    {
        std::vector<unsigned char> bytes(n);
        size_t at = 0;
        if (m_sent == 0 && n >= kHeader) {
            memcpy(bytes.data(), &kMark, 4);
            memcpy(bytes.data() + 4, &m_id, 4);
            at = kHeader;
        }
        m_pattern.Fill(bytes.data() + at, n - at);
        return bytes;
    }

    uint32_t m_id;
    Pattern m_pattern;
    SOCKET m_socket = INVALID_SOCKET;
    uint64_t m_sent = 0;
};

// A stream listener made by the factory, on one address or two, all on one port.
struct ListenerKind {
    const char *name;
    int type;
    int addresses;
};

class Served {
public:
    Served(const ListenerKind &kind, StreamChecker *checker) : m_kind(kind), m_port(kt::FreeTcpPort())
    {
        m_object = KesCreateObject(kind.type);
        const DWORD locals[] = {kt::Loopback(), kt::Addr("127.0.0.2")};
        if (kind.type == KES_OBJECT_TCPLISTEN) {
            tagParamListen param;
            param.dwLocalAddr = locals[0];
            param.nPort = m_port;
            param.nBacklog = kClients;
            param.pfnReceive = StreamChecker::Receive;
            param.pUserData = checker;
            CTcpListen *listener = static_cast<CTcpListen *>(static_cast<CTcpListenObject *>(m_object));
            m_started = listener->InitInstance(&param) == 1;
            m_servers.push_back(&listener->m_server);
        } else {
            tagParamListen3 param;
            param.nCount = kind.addresses;
            std::copy(locals, locals + kind.addresses, param.dwLocalAddr);
            param.nPort = m_port;
            param.nBacklog = kClients;
            param.pfnReceive = StreamChecker::Receive;
            param.pUserData = checker;
            CTcpListen3 *listener = static_cast<CTcpListen3 *>(static_cast<CTcpListen3Object *>(m_object));
            m_started = listener->InitInstance(&param) == 1;
            for (int i = 0; i < kind.addresses; ++i)
                m_servers.push_back(&listener->m_server[i]);
        }
        m_addresses.assign(locals, locals + kind.addresses);
        if (m_started)
            for (CTcpServer *server : m_servers)
                checker->Watch(GetThreadId(server->m_pThread->ThreadHandle()), &server->m_clients);
    }
    ~Served()
    {
        if (m_kind.type == KES_OBJECT_TCPLISTEN)
            static_cast<CTcpListenObject *>(m_object)->Delete();
        else
            static_cast<CTcpListen3Object *>(m_object)->Delete();
    }
    Served(const Served &) = delete;
    Served &operator=(const Served &) = delete;

    bool Started() const { return m_started; }
    int Port() const { return m_port; }
    const std::vector<DWORD> &Addresses() const { return m_addresses; }
    void Release()
    {
        if (m_kind.type == KES_OBJECT_TCPLISTEN)
            static_cast<CTcpListenObject *>(m_object)->Release();
        else
            static_cast<CTcpListen3Object *>(m_object)->Release();
    }

private:
    ListenerKind m_kind;
    int m_port;
    void *m_object;
    bool m_started = false;
    std::vector<CTcpServer *> m_servers;
    std::vector<DWORD> m_addresses;
};

// Runs fn(i) for i in [0, n) on n threads of their own and waits for all.
void OnThreads(int n, const std::function<void(int)> &fn)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(fn, i);
    for (std::thread &t : threads)
        t.join();
}

// The bytes a streaming client sends in one go: anything from 1 byte to 64 KB.
size_t BlockSize(kt::Xorshift &random)
{
    return 1 + random.Below(random.Below(4) == 0 ? 65536 : 4096);
}

class TcpLoadTest : public kt::WinsockTest, public ::testing::WithParamInterface<ListenerKind> {
protected:
    // 62 clients at address a stream `bytes` each in parallel, while the
    // clients 63 to 100 try to connect and are turned away. Each stream arrives
    // whole and in order, and the listener closes it when it ends. The 62 end
    // their streams only once the others have been turned away: a place that
    // a finished client freed would let the next one in, however slowly a busy
    // machine goes through them.
    void FullHouse(Served &served, int a, size_t bytes)
    {
        const DWORD addr = served.Addresses()[a];
        const size_t connectionsBefore = m_checker->Connections();
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < kCapacity; ++i)
            clients.emplace_back(new Client(*m_checker));
        std::vector<Ending> endings(kCapacity, kNotWaited);
        kt::Gate go, othersTurnedAway;
        DWORD start = GetTickCount();
        std::thread streaming([&] {
            OnThreads(kCapacity, [&](int i) {
                Client &client = *clients[i];
                kt::Xorshift random(client.Id());
                if (!client.Connect(addr, served.Port()) || !client.Send(kHeader + 64))
                    return;
                go.Wait();
                while (client.Sent() < bytes)
                    if (!client.Send(std::min<size_t>(BlockSize(random), bytes - client.Sent())))
                        return;
                othersTurnedAway.Wait(kt::Bound(60000));
                endings[i] = client.Finish(kt::Bound(60000));
            });
        });
        bool allIn = m_checker->WaitForConnections(connectionsBefore + kCapacity, kt::Bound(60000));
        EXPECT_TRUE(allIn) << m_checker->Connections() - connectionsBefore << " of " << kCapacity
                           << " clients were served";
        go.Open();

        // The clients beyond the capacity, while the others stream.
        std::vector<std::unique_ptr<Client>> turnedAway;
        for (int i = kCapacity; i < kClients && allIn; ++i) {
            turnedAway.emplace_back(new Client(*m_checker));
            Client &client = *turnedAway.back();
            if (client.Connect(addr, served.Port()) && client.Send(kHeader + 16)) {
                EXPECT_NE(kStillOpen, client.WaitForListener(kt::Bound())) << "client " << i + 1;
            }
        }
        othersTurnedAway.Open();
        streaming.join();

        for (int i = 0; i < kCapacity; ++i) {
            const Client &client = *clients[i];
            EXPECT_EQ(bytes, client.Sent()) << "client " << i + 1 << " could not send everything";
            EXPECT_EQ(kClosedByListener, endings[i]) << "client " << i + 1 << ": " << Describe(endings[i]);
            EXPECT_EQ(client.Sent(), m_checker->Received(client.Id())) << "client " << i + 1;
        }
        for (size_t i = 0; i < turnedAway.size(); ++i)
            EXPECT_EQ(0u, m_checker->Received(turnedAway[i]->Id())) << "client " << kCapacity + i + 1;
        EXPECT_EQ(kCapacity, m_checker->MostPlaces());
        std::cout << "full house at " << kt::Dotted(addr) << ": " << kCapacity << " clients streamed "
                  << bytes << " bytes each in parallel in " << GetTickCount() - start << " ms; "
                  << turnedAway.size() << " more turned away meanwhile" << std::endl;
    }

    // Until a probe finds itself the only client of address a, within ms.
    // The listener frees a place when it sees the close, a moment after the
    // client has gone. The clients it found there, itself included.
    int AloneAt(Served &served, int a)
    {
        int places = -1;
        kt::PollUntil(
            [&] {
                Client probe(*m_checker);
                if (!probe.Connect(served.Addresses()[a], served.Port()) || !probe.Send(kHeader) ||
                    !m_checker->WaitForBytes(probe.Id(), kHeader, kt::Bound()))
                    return false;
                places = m_checker->PlacesAtArrival(probe.Id());
                probe.Finish(kt::Bound());
                return places == 1;
            },
            kt::Bound());
        return places;
    }

    // Warms up, then counts what the process holds before the test's own
    // checker exists, so that neither is counted against the listener.
    kt::Census Begin()
    {
        WarmUp();
        const kt::Census before = kt::Census::Take();
        m_checker.reset(new StreamChecker);
        return before;
    }

    // Every read was checked clean, and once the checker is gone the process
    // holds no more than before.
    void End(const kt::Census &before)
    {
        EXPECT_TRUE(m_checker->Faults().Empty());
        m_checker.reset();
        EXPECT_TRUE(kt::SettlesBackTo(before));
    }

    std::unique_ptr<StreamChecker> m_checker;

private:
    // A small full house on a listener of its own, so that what the first of
    // everything costs the process (the first listener, the first crowd of
    // threads, locks and waits) is not counted against the test.
    void WarmUp()
    {
        m_checker.reset(new StreamChecker);
        {
            Served served(GetParam(), m_checker.get());
            ASSERT_TRUE(served.Started());
            FullHouse(served, 0, 4096);
            served.Release();
        }
        m_checker.reset();
    }
};

TEST_P(TcpLoadTest, SixtyTwoClientsStreamInParallelWhileTheHundredthIsTurnedAway)
{
    const kt::Census before = Begin();
    {
        Served served(GetParam(), m_checker.get());
        ASSERT_TRUE(served.Started());
        for (size_t a = 0; a < served.Addresses().size(); ++a)
            FullHouse(served, static_cast<int>(a), 256 * 1024 * kt::Soak());
        served.Release();
    }
    End(before);
}

// How a connection of the churn behaves.
enum Churn {
    kConnectAndClose,    // no bytes
    kWholeStream,        // a stream, ended; waits for the listener to close
    kPartThenClose,      // the first part of a block, then a graceful close
    kPartThenReset,      // the same, then a reset
    kBytesThenReset,     // a whole stream, then a reset
    kResetAtOnce,        // a reset straight after the connect
    kChurnKinds
};

TEST_P(TcpLoadTest, ThousandsOfConnectionsComeAndGoWhileSteadyClientsStreamOn)
{
    const int kSteady = 4, kChurners = 4;
    const int cycles = 2000 * kt::Soak();
    const kt::Census before = Begin();
    {
        Served served(GetParam(), m_checker.get());
        ASSERT_TRUE(served.Started());
        const std::vector<DWORD> &addrs = served.Addresses();

        struct Done {
            uint32_t id;
            Churn kind;
            uint64_t sent;
            Ending ending;
        };
        std::vector<std::vector<Done>> done(kChurners);
        std::atomic<int> churning{kChurners};
        std::vector<std::unique_ptr<Client>> steady;
        for (int i = 0; i < kSteady; ++i)
            steady.emplace_back(new Client(*m_checker));
        std::vector<Ending> steadyEndings(kSteady, kNotWaited);
        DWORD start = GetTickCount();

        OnThreads(kSteady + kChurners, [&](int t) {
            if (t < kSteady) {
                // Streams until the churn is over, each block once the one
                // before has arrived: the listener serves the lowest place
                // that has data first, so a client that never paused would
                // keep the clients behind it waiting.
                Client &client = *steady[t];
                kt::Xorshift random(client.Id());
                if (!client.Connect(addrs[t % addrs.size()], served.Port()))
                    return;
                while (churning > 0 && client.Send(kHeader + BlockSize(random)) &&
                       m_checker->WaitForBytes(client.Id(), client.Sent(), kt::Bound())) {
                }
                steadyEndings[t] = client.Finish(kt::Bound(60000));
                return;
            }
            int churner = t - kSteady;
            kt::Xorshift random(0xC0FFEEu + churner);
            for (int i = churner; i < cycles; i += kChurners) {
                Client client(*m_checker);
                Churn kind = static_cast<Churn>(i % kChurnKinds);
                Ending ending = kNotWaited;
                if (client.Connect(addrs[i % addrs.size()], served.Port())) {
                    switch (kind) {
                    case kConnectAndClose:
                        client.Close();
                        break;
                    case kWholeStream:
                        client.Send(kHeader + BlockSize(random));
                        ending = client.Finish(kt::Bound(60000));
                        break;
                    case kPartThenClose:
                        // Waits for the listener's close like a whole stream:
                        // clients that leave faster than the listener reads
                        // would fill its places, and those beyond them are
                        // turned away by design.
                        client.SendPart(kHeader + 64 * 1024, random);
                        ending = client.Finish(kt::Bound(60000));
                        break;
                    case kPartThenReset:
                        client.SendPart(kHeader + 64 * 1024, random);
                        client.Reset();
                        break;
                    case kBytesThenReset:
                        client.Send(kHeader + BlockSize(random));
                        client.Reset();
                        break;
                    default:
                        client.Reset();
                        break;
                    }
                }
                done[churner].push_back({client.Id(), kind, client.Sent(), ending});
            }
            --churning;
        });
        for (int i = 0; i < kSteady; ++i) {
            EXPECT_EQ(kClosedByListener, steadyEndings[i]) << "steady client " << i;
            EXPECT_TRUE(m_checker->WaitForBytes(steady[i]->Id(), steady[i]->Sent(), kt::Bound()))
                << "steady client " << i << ": " << m_checker->Received(steady[i]->Id()) << " of "
                << steady[i]->Sent() << " bytes";
        }
        // What was sent before a graceful close arrives whole, however abruptly
        // the client left; what was sent before a reset may be cut short, but
        // never altered (the checker sees to that).
        size_t cut = 0;
        for (const std::vector<Done> &list : done)
            for (const Done &d : list) {
                if (d.kind == kWholeStream || d.kind == kPartThenClose) {
                    EXPECT_EQ(kClosedByListener, d.ending) << "connection " << d.id << ": " << Describe(d.ending);
                }
                if (d.kind == kWholeStream || d.kind == kPartThenClose) {
                    EXPECT_TRUE(m_checker->WaitForBytes(d.id, d.sent, kt::Bound()))
                        << "connection " << d.id << ": " << m_checker->Received(d.id) << " of " << d.sent
                        << " bytes; at most " << m_checker->MostPlaces() << " clients at once";
                }
                if (m_checker->Received(d.id) < d.sent)
                    ++cut;
            }
        std::cout << "churn: " << cycles << " connections (" << kChurnKinds
                  << " kinds in turn) on " << kChurners << " threads beside " << kSteady << " steady clients in "
                  << GetTickCount() - start << " ms; " << cut << " cut short by their reset" << std::endl;

        // Every place is free again, and the listener serves its full capacity.
        for (size_t a = 0; a < addrs.size(); ++a) {
            EXPECT_EQ(1, AloneAt(served, static_cast<int>(a))) << "clients still in the table of " << kt::Dotted(addrs[a]);
            FullHouse(served, static_cast<int>(a), 16 * 1024);
        }
        served.Release();
    }
    End(before);
}

INSTANTIATE_TEST_SUITE_P(Listeners, TcpLoadTest,
                         ::testing::Values(ListenerKind{"OneAddress", KES_OBJECT_TCPLISTEN, 1},
                                           ListenerKind{"TwoAddresses", KES_OBJECT_TCPLISTEN3, 2}),
                         [](const ::testing::TestParamInfo<ListenerKind> &info) { return std::string(info.param.name); });

}  // namespace
