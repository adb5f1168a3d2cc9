// The library used from several threads at once: separate objects of every
// kind on their own threads, one acknowledged sender shared by several
// threads, and the callbacks of the multi-interface listeners running in
// parallel. The test command runs this program with Wine's heap checking on
// (WINEDEBUG=warn+heap) and fails on any report of it; process_heap.cpp
// puts every C++ allocation of the program, the library's included, where
// that checking reaches.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datagram/udp_socket.h"
#include "input_support.h"
#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream_support.h"

namespace {

using kt::Loopback;

// A payload that carries its own check: who sent it, its number, filler of a
// length that varies, and a sum over all of it.
std::string Payload(int source, int n)
{
    std::string text = std::to_string(source) + ":" + std::to_string(n) + ":";
    text.append(static_cast<size_t>((n * 37 + source * 11) % 900), static_cast<char>('a' + n % 26));
    unsigned sum = 0;
    for (unsigned char c : text)
        sum = sum * 31 + c;
    return text + "#" + std::to_string(sum);
}

bool Intact(const std::string &payload)
{
    size_t hash = payload.rfind('#');
    if (hash == std::string::npos)
        return false;
    unsigned sum = 0;
    for (size_t i = 0; i < hash; ++i)
        sum = sum * 31 + static_cast<unsigned char>(payload[i]);
    return payload.substr(hash + 1) == std::to_string(sum);
}

// Lets every thread of a test start its work at the same moment.
class StartLine {
public:
    explicit StartLine(int n) : m_waiting(n) {}
    void Arrive()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_waiting == 0)
            m_all.notify_all();
        m_all.wait_for(lock, std::chrono::milliseconds(kt::Bound()), [this] { return m_waiting <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_all;
    int m_waiting;
};

class Concurrency : public kt::WinsockTest {};

// ---------------------------------------------------------------------------
// Separate objects on separate threads: each thread runs rounds of set-up,
// traffic and release with its own sender and listener, all at once.

const int kRounds = 12;
const int kMessages = 8;

// The texts of one round of one worker.
std::vector<std::string> RoundTexts(int worker, int round)
{
    std::vector<std::string> texts;
    for (int i = 0; i < kMessages; ++i)
        texts.push_back(Payload(worker, round * kMessages + i));
    return texts;
}

// Whether the datagrams collected from index `from` on are exactly the texts,
// each intact. Datagrams keep no order: loopback may hand two of them to the
// socket in another order when the sending thread moved to another processor
// between them.
::testing::AssertionResult Collected(kt::Collector &seen, size_t from, std::vector<std::string> texts)
{
    if (!seen.WaitFor(from + texts.size()))
        return ::testing::AssertionFailure() << "only " << seen.Count() - from << " of " << texts.size() << " arrived";
    std::vector<std::string> got;
    for (size_t i = from; i < seen.Count(); ++i)
        got.push_back(kt::Text(seen.At(i)));
    if (!std::all_of(got.begin(), got.end(), Intact))
        return ::testing::AssertionFailure() << "a datagram was damaged";
    std::sort(got.begin(), got.end());
    std::sort(texts.begin(), texts.end());
    return got == texts ? ::testing::AssertionSuccess()
                        : ::testing::AssertionFailure() << "not exactly the datagrams that were sent";
}

::testing::AssertionResult DatagramPair(int worker)
{
    kt::Collector seen;
    for (int round = 0; round < kRounds; ++round) {
        tagParamListen listen;
        listen.dwLocalAddr = Loopback();
        listen.pfnReceive = kt::Collector::Receive;
        listen.pUserData = &seen;
        CKesListen listener;
        if (!listener.InitInstance(&listen))
            return ::testing::AssertionFailure() << "listener, round " << round;
        tagParamSend send;
        send.dwLocalAddr = Loopback();
        send.dwDestAddr = Loopback();
        send.nDestPort = kt::BoundPort(listener.m_pSocket->GetSocket());
        CKesSend sender;
        if (!sender.InitInstance(&send))
            return ::testing::AssertionFailure() << "sender, round " << round;
        size_t before = seen.Count();
        std::vector<std::string> texts = RoundTexts(worker, round);
        for (std::string &text : texts)
            sender.Send(&text[0], static_cast<DWORD>(text.size()), 0, 0);
        ::testing::AssertionResult ok = Collected(seen, before, texts);
        sender.Release();
        listener.Release();
        if (!ok)
            return ok << ", round " << round;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult MultiInterfacePair(int worker)
{
    kt::Collector seen;
    for (int round = 0; round < kRounds; ++round) {
        // A port of the system's choice: several threads pick ports at once.
        tagParamListen3 listen;
        listen.dwLocalAddr[0] = Loopback();
        listen.nCount = 1;
        listen.pfnReceive = kt::Collector::Receive;
        listen.pUserData = &seen;
        CKesListen3 listener;
        if (!listener.InitInstance(&listen))
            return ::testing::AssertionFailure() << "listener, round " << round;
        tagParamSend3 send;
        send.dwLocalAddr[0] = Loopback();
        send.dwLocalAddr[1] = kt::Addr("127.0.0.2");
        send.nCount = 2;
        send.dwDestAddr = Loopback();
        send.nDestPort = kt::BoundPort(listener.m_pSocket[0]->GetSocket());
        CKesSend3 sender;
        if (!sender.InitInstance(&send))
            return ::testing::AssertionFailure() << "sender, round " << round;
        size_t before = seen.Count();
        std::vector<std::string> texts;
        for (std::string &text : RoundTexts(worker, round)) {
            sender.Send(reinterpret_cast<unsigned char *>(&text[0]), static_cast<unsigned long>(text.size()), 0, 0);
            texts.push_back(text);  // one copy through each socket
            texts.push_back(text);
        }
        ::testing::AssertionResult ok = Collected(seen, before, texts);
        sender.Release();
        listener.Release();
        if (!ok)
            return ok << ", round " << round;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ProcessWidePair(int worker)
{
    kt::Collector seen;
    for (int round = 0; round < kRounds; ++round) {
        int port = kt::FreeUdpPort();
        if (!KesListen(1, kt::Collector::Receive, port, 0, &seen, Loopback()))
            return ::testing::AssertionFailure() << "KesListen, round " << round;
        size_t before = seen.Count();
        std::vector<std::string> texts = RoundTexts(worker, round);
        for (const std::string &text : texts)
            KesSend(1, text.data(), static_cast<DWORD>(text.size()), Loopback(), port, Loopback());
        ::testing::AssertionResult ok = Collected(seen, before, texts);
        KesStopListen();
        if (!ok)
            return ok << ", round " << round;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult AcknowledgedPair(int worker)
{
    kt::Collector seen;
    for (int round = 0; round < kRounds; ++round) {
        tagParamListen listen;
        listen.dwLocalAddr = Loopback();
        listen.bEcho = TRUE;
        listen.pfnReceive = kt::Collector::Receive;
        listen.pUserData = &seen;
        CKesListen listener;
        if (!listener.InitInstance(&listen))
            return ::testing::AssertionFailure() << "listener, round " << round;
        tagParamSend send;
        send.dwLocalAddr = Loopback();
        send.dwDestAddr = Loopback();
        send.nDestPort = kt::BoundPort(listener.m_pSocket->GetSocket());
        send.dwEchoTimeout = kt::Bound(2000);
        CKesSend2 sender;
        if (!sender.InitInstance(&send))
            return ::testing::AssertionFailure() << "sender, round " << round;
        size_t before = seen.Count();
        std::vector<std::string> texts = RoundTexts(worker, round);
        int acknowledged = 0;
        for (std::string &text : texts)
            acknowledged += sender.Send(&text[0], static_cast<unsigned long>(text.size()), 0, 0);
        ::testing::AssertionResult ok = Collected(seen, before, texts);
        sender.Release();
        listener.Release();
        if (!ok)
            return ok << ", round " << round;
        if (acknowledged != kMessages)
            return ::testing::AssertionFailure() << acknowledged << " sends acknowledged, round " << round;
    }
    return ::testing::AssertionSuccess();
}

// Starts a stream listener of either kind on loopback, on a port of the
// system's choice; its port, or 0 if it did not start.
int StartStream(CTcpListenObject *listener, kt::Collector *reads)
{
    tagParamListen listen;
    listen.dwLocalAddr = Loopback();
    listen.pfnReceive = kt::Collector::Receive;
    listen.pUserData = reads;
    if (!listener->InitInstance(&listen))
        return 0;
    return kt::BoundPort(static_cast<CTcpListen *>(listener)->m_server.m_sListen);
}

int StartStream(CTcpListen3Object *listener, kt::Collector *reads)
{
    tagParamListen3 listen;
    listen.dwLocalAddr[0] = Loopback();
    listen.nCount = 1;
    listen.pfnReceive = kt::Collector::Receive;
    listen.pUserData = reads;
    if (!listener->InitInstance(&listen))
        return 0;
    return kt::BoundPort(static_cast<CTcpListen3 *>(listener)->m_server[0].m_sListen);
}

template <typename Object, int kType>
::testing::AssertionResult StreamPair(int worker)
{
    kt::Collector reads;
    std::string all;
    for (int round = 0; round < kRounds; ++round) {
        kt::StreamObject<Object> listener(static_cast<Object *>(KesCreateObject(kType)));
        int port = StartStream(listener.get(), &reads);
        if (port <= 0)
            return ::testing::AssertionFailure() << "listener, round " << round;
        tagParamSend send;
        send.dwDestAddr = Loopback();
        send.nDestPort = port;
        kt::StreamObject<CTcpSendObject> sender(static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
        if (!sender->InitInstance(&send))
            return ::testing::AssertionFailure() << "sender, round " << round;
        for (std::string &text : RoundTexts(worker, round)) {
            sender->Send(&text[0], static_cast<unsigned long>(text.size()));
            all += text;
        }
        bool arrived = reads.WaitForBytes(all.size());
        sender->Release();
        listener->Release();
        if (!arrived)
            return ::testing::AssertionFailure() << "not every byte arrived, round " << round;
    }
    std::string got;
    for (const kt::Received &read : reads.All())
        got.append(read.data.begin(), read.data.end());
    return got == all ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "the streams differ";
}

TEST_F(Concurrency, SeparateObjectsOfEveryKindOnTheirOwnThreads)
{
    struct Worker {
        const char *name;
        std::function<::testing::AssertionResult(int)> run;
    };
    const std::vector<Worker> workers = {
        {"CKesSend to CKesListen", DatagramPair},
        {"another CKesSend to CKesListen", DatagramPair},
        {"CKesSend3 to CKesListen3", MultiInterfacePair},
        {"KesSend to KesListen", ProcessWidePair},
        {"CKesSend2 to an echoing CKesListen", AcknowledgedPair},
        {"CTcpSend to CTcpListen", StreamPair<CTcpListenObject, KES_OBJECT_TCPLISTEN>},
        {"CTcpSend to CTcpListen3", StreamPair<CTcpListen3Object, KES_OBJECT_TCPLISTEN3>},
    };
    StartLine start(static_cast<int>(workers.size()));
    std::vector<::testing::AssertionResult> results(workers.size(), ::testing::AssertionSuccess());
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers.size(); ++w)
        threads.emplace_back([&, w] {
            start.Arrive();
            results[w] = workers[w].run(static_cast<int>(w));
        });
    for (std::thread &t : threads)
        t.join();
    for (size_t w = 0; w < workers.size(); ++w)
        EXPECT_TRUE(results[w]) << workers[w].name;
}

// ---------------------------------------------------------------------------
// One acknowledged sender, several threads sending through it.

TEST_F(Concurrency, AcknowledgedSendsFromSeveralThreadsOnOneSender)
{
    const int kThreads = 4, kSendsEach = 20;
    kt::Collector seen;
    tagParamListen listen;
    listen.dwLocalAddr = Loopback();
    listen.bEcho = TRUE;
    listen.pfnReceive = kt::Collector::Receive;
    listen.pUserData = &seen;
    CKesListen listener;
    ASSERT_EQ(1, listener.InitInstance(&listen));
    tagParamSend send;
    send.dwLocalAddr = Loopback();
    send.dwDestAddr = Loopback();
    send.nDestPort = kt::BoundPort(listener.m_pSocket->GetSocket());
    send.dwEchoTimeout = kt::Bound(2000);
    CKesSend2 sender;
    ASSERT_EQ(1, sender.InitInstance(&send));

    StartLine start(kThreads);
    std::atomic<int> acknowledged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.Arrive();
            for (int i = 0; i < kSendsEach; ++i) {
                std::string text = Payload(t, i);
                acknowledged += sender.Send(&text[0], static_cast<unsigned long>(text.size()), 0, 0);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kSendsEach, acknowledged.load()) << "every send is answered, and in time";
    ASSERT_TRUE(seen.WaitFor(kThreads * kSendsEach));
    std::multiset<std::string> got;
    for (const kt::Received &d : seen.All())
        got.insert(kt::Text(d));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kSendsEach; ++i)
            EXPECT_EQ(1u, got.count(Payload(t, i))) << "thread " << t << ", send " << i;
    sender.Release();
    listener.Release();
}

// ---------------------------------------------------------------------------
// The callbacks of a multi-interface listener in parallel: one sender per
// local address sends a stream of checked datagrams (or bytes), and the
// callbacks of all addresses meet once inside the host's code before the
// rest goes on. Every piece arrives once, intact and in order per sender.

// The local addresses whose sockets the system tells apart. Under Wine a
// datagram socket bound to a loopback address other than 127.0.0.1 is bound
// to any address, which serves the datagrams that no exact binding takes:
// so two loopback addresses outside the private network, and inside it
// loopback and its two links.
std::vector<DWORD> SeparateAddresses()
{
    if (kt::InPrivateNetwork())
        return {Loopback(), kt::LocalVeth(0), kt::LocalVeth(1)};
    return {Loopback(), kt::Addr("127.0.0.2")};
}

// The host's side: the callback of every receive thread. The first call on
// each thread waits (bounded) until every thread is inside a call.
class ParallelHost {
public:
    explicit ParallelHost(size_t threads) : m_expected(threads) {}

    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long, int nPort)
    {
        static_cast<ParallelHost *>(pUserData)->Take(std::string(static_cast<char *>(pData), nLength), nPort);
    }

    // Every thread was inside the host's code at the same moment.
    bool Met()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_met == m_expected;
    }
    // Waits (bounded) until n bytes in all came from the source port.
    bool WaitForBytesFrom(int port, size_t n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kt::Bound()), [&] { return m_bytes[port] >= n; });
    }
    // What came from each source port, call by call.
    std::map<int, std::vector<std::string>> Pieces()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pieces;
    }
    size_t Threads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads.size();
    }

private:
    void Take(const std::string &piece, int port)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_threads.insert(GetCurrentThreadId()).second) {
            m_changed.notify_all();
            if (m_changed.wait_for(lock, std::chrono::milliseconds(kt::Bound()),
                                   [&] { return m_threads.size() == m_expected; }))
                ++m_met;
        }
        lock.unlock();
        // Work on the heap from several threads at once.
        std::vector<std::string> copies(4, piece);
        lock.lock();
        m_pieces[port].push_back(copies.back());
        m_bytes[port] += piece.size();
        m_changed.notify_all();
    }

    size_t m_expected;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<DWORD> m_threads;
    size_t m_met = 0;
    std::map<int, std::vector<std::string>> m_pieces;
    std::map<int, size_t> m_bytes;
};

const int kPieces = 60;
// Bytes that may be on their way at once: far below the 64 KiB receive
// buffer of each socket, so that no datagram is dropped.
const size_t kWindow = 8 * 1024;

// One sender per address of the listener, each on its own thread, sending
// kPieces checked pieces through send(index, piece); each keeps at most
// kWindow of its bytes unserved. What each sent, piece by piece, by source
// port.
std::map<int, std::vector<std::string>> SendInParallel(size_t senders, ParallelHost &host,
                                                       std::function<int(size_t)> sourcePort,
                                                       std::function<bool(size_t, const std::string &)> send)
{
    std::map<int, std::vector<std::string>> sent;
    std::mutex sentLock;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (size_t s = 0; s < senders; ++s)
        threads.emplace_back([&, s] {
            int port = sourcePort(s);
            std::vector<std::string> pieces;
            size_t bytes = 0;
            for (int n = 0; n < kPieces; ++n) {
                if (bytes > kWindow && !host.WaitForBytesFrom(port, bytes - kWindow))
                    break;
                std::string piece = Payload(static_cast<int>(s), n);
                failed += send(s, piece) ? 0 : 1;
                pieces.push_back(piece);
                bytes += piece.size();
            }
            failed += host.WaitForBytesFrom(port, bytes) ? 0 : 1;
            std::lock_guard<std::mutex> lock(sentLock);
            sent[port] = pieces;
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, failed.load()) << "sends failed, or did not all arrive";
    return sent;
}

// The pieces of each source in one order, for datagrams, which keep none.
std::map<int, std::vector<std::string>> Sorted(std::map<int, std::vector<std::string>> pieces)
{
    for (auto &source : pieces)
        std::sort(source.second.begin(), source.second.end());
    return pieces;
}

// The pieces of each source joined, for streams, whose reads cut the bytes
// anywhere.
std::map<int, std::string> Joined(const std::map<int, std::vector<std::string>> &pieces)
{
    std::map<int, std::string> joined;
    for (const auto &source : pieces)
        for (const std::string &piece : source.second)
            joined[source.first] += piece;
    return joined;
}

TEST_F(Concurrency, CallbacksOfTheMultiInterfaceDatagramListenerRunInParallel)
{
    std::vector<DWORD> addrs = SeparateAddresses();
    ParallelHost host(addrs.size());
    tagParamListen3 listen;
    listen.nPort = kt::FreeUdpPort();
    for (size_t i = 0; i < addrs.size(); ++i)
        listen.dwLocalAddr[i] = addrs[i];
    listen.nCount = static_cast<int>(addrs.size());
    listen.pfnReceive = ParallelHost::Receive;
    listen.pUserData = &host;
    CKesListen3 listener;
    ASSERT_EQ(1, listener.InitInstance(&listen));
    std::vector<std::unique_ptr<kt::RawUdp>> senders;
    for (size_t s = 0; s < addrs.size(); ++s)
        senders.emplace_back(new kt::RawUdp(0));
    std::map<int, std::vector<std::string>> sent = SendInParallel(
        addrs.size(), host, [&](size_t s) { return senders[s]->port(); },
        [&](size_t s, const std::string &piece) {
            return senders[s]->SendTo(piece.data(), static_cast<int>(piece.size()), addrs[s], listen.nPort);
        });
    listener.Release();
    EXPECT_TRUE(host.Met()) << "the callbacks of the addresses never ran at the same time";
    EXPECT_EQ(addrs.size(), host.Threads());
    EXPECT_EQ(Sorted(sent), Sorted(host.Pieces())) << "not every datagram arrived once and whole";
}

TEST_F(Concurrency, CallbacksOfTheMultiInterfaceStreamListenerRunInParallel)
{
    std::vector<DWORD> addrs = SeparateAddresses();
    ParallelHost host(addrs.size());
    kt::StreamObject<CTcpListen3Object> listener(static_cast<CTcpListen3Object *>(KesCreateObject(5)));
    tagParamListen3 listen;
    listen.nPort = kt::FreeTcpPort();
    for (size_t i = 0; i < addrs.size(); ++i)
        listen.dwLocalAddr[i] = addrs[i];
    listen.nCount = static_cast<int>(addrs.size());
    listen.pfnReceive = ParallelHost::Receive;
    listen.pUserData = &host;
    ASSERT_EQ(1, listener->InitInstance(&listen));
    std::vector<std::unique_ptr<kt::RawTcp>> clients;
    for (size_t s = 0; s < addrs.size(); ++s) {
        clients.emplace_back(new kt::RawTcp);
        ASSERT_TRUE(clients.back()->Connect(addrs[s], listen.nPort));
    }
    std::map<int, std::vector<std::string>> sent = SendInParallel(
        addrs.size(), host, [&](size_t s) { return clients[s]->localPort(); },
        [&](size_t s, const std::string &piece) { return clients[s]->Send(piece); });
    listener->Release();
    EXPECT_TRUE(host.Met()) << "the callbacks of the addresses never ran at the same time";
    EXPECT_EQ(addrs.size(), host.Threads());
    EXPECT_EQ(Joined(sent), Joined(host.Pieces())) << "a stream did not arrive whole and in order";
}

// Not a test of the library: it damages the process heap on purpose, to show
// that Wine's heap checking reports it in the form the test command looks
// for. The test command runs it alone and expects that report.
TEST(HeapCheckProbe, DISABLED_WineReportsADamagedHeap)
{
    // Called directly: a new-expression and its delete may be left out by the
    // compiler.
    void *volatile block = ::operator new(16);
    ::operator delete(block);
    ::operator delete(block);  // freed twice
}

}  // namespace
