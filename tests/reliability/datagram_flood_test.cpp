// Hostile datagram traffic: floods of datagrams of random sizes (0 to 65507
// bytes) and random content at the datagram listeners, some sent from the echo
// port, and a flood at the echo port of an acknowledged sender.
//
// Every datagram of at least 8 bytes carries its sequence number and a
// checksum of the rest; a shorter one carries a fixed pattern of its length.
// The callback checks each. What is not delivered is compared with the
// system's own count of datagrams dropped because a receive buffer was full.
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "census.h"
#include "datagram/udp_socket.h"
#include "stream_support.h"
#include "traffic.h"

namespace {

using kt::RawUdp;

const uint32_t kLargest = 65507;  // the largest UDP payload over IPv4
const uint32_t kHeader = 8;       // sequence number and checksum

// Datagrams in flight are counted generously: the system charges a datagram
// for its buffers as well as for its bytes. A paced sender never has more in
// flight than the receive buffer a listener asks for (65536 bytes), except one
// datagram on its own.
int64_t BufferCost(uint32_t size)
{
    return 2 * static_cast<int64_t>(size) + 2048;
}
const int64_t kPacedBudget = 65536;

// A datagram too short for its header: a fixed pattern of its length.
void TinyPattern(uint32_t size, unsigned char *out)
{
    for (uint32_t k = 0; k < size; ++k)
        out[k] = static_cast<unsigned char>(0xA0 + size * 8 + k);
}

uint32_t Basis(uint32_t seq, uint32_t size)
{
    return 2166136261u ^ (seq * 2654435761u) ^ size;
}

struct Shot {
    uint32_t size;
    int sender;  // which of the flood's sending sockets
    int target;  // which of the listener's addresses
};

// The datagrams of one flood, fixed before the first is sent so that the
// callback can check each one against its plan.
class FloodPlan {
public:
    FloodPlan(uint32_t seed, size_t count, int senders, int targets) : m_seed(seed)
    {
        // The edges first, then random sizes: one in eight too short for the
        // header, one in sixteen within 16 bytes of the largest.
        const uint32_t edges[] = {0, 1, kHeader - 1, kHeader, kHeader + 1, kLargest, kLargest - 1};
        kt::Xorshift random(seed);
        for (size_t i = 0; i < count; ++i) {
            Shot shot;
            uint32_t kind = random.Below(16);
            if (i < sizeof edges / sizeof edges[0])
                shot.size = edges[i];
            else if (kind < 2)
                shot.size = random.Below(kHeader);
            else if (kind == 2)
                shot.size = kLargest - random.Below(16);
            else
                shot.size = random.Below(kLargest + 1);
            shot.sender = static_cast<int>(random.Below(static_cast<uint32_t>(senders)));
            shot.target = static_cast<int>(random.Below(static_cast<uint32_t>(targets)));
            m_shots.push_back(shot);
        }
    }

    size_t Count() const { return m_shots.size(); }
    const Shot &operator[](size_t i) const { return m_shots[i]; }

    // The bytes of datagram seq, into out (at least kLargest bytes).
    void Build(uint32_t seq, unsigned char *out) const
    {
        uint32_t size = m_shots[seq].size;
        if (size < kHeader) {
            TinyPattern(size, out);
            return;
        }
        kt::Xorshift content(m_seed ^ (seq * 0x9E3779B1u));
        content.Fill(out + kHeader, size - kHeader);
        uint32_t sum = kt::Checksum(out + kHeader, size - kHeader, Basis(seq, size));
        memcpy(out, &seq, 4);
        memcpy(out + 4, &sum, 4);
    }

private:
    uint32_t m_seed;
    std::vector<Shot> m_shots;
};

// Checks every datagram a listener hands over against the plan, and counts.
// Pass it as pUserData.
class FloodTally {
public:
    FloodTally(const FloodPlan &plan, std::vector<int> senderPorts)
        : m_plan(plan),
          m_senderPorts(std::move(senderPorts)),
          m_seen(plan.Count(), 0),
          m_tinySent(m_senderPorts.size() * kHeader, 0),
          m_tinySeen(m_senderPorts.size() * kHeader, 0),
          m_fromSender(m_senderPorts.size(), 0)
    {
    }

    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
    {
        static_cast<FloodTally *>(pUserData)->Check(static_cast<const unsigned char *>(pData), nLength, dwAddr,
                                                    nPort);
    }

    // Before datagram seq goes out.
    void Sending(uint32_t seq)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Shot &shot = m_plan[seq];
        m_inFlight += BufferCost(shot.size);
        if (shot.size < kHeader)
            ++m_tinySent[shot.sender * kHeader + shot.size];
    }
    // Waits until datagram seq may go out without overrunning the listener's
    // receive buffer.
    bool WaitForRoom(uint32_t seq, DWORD ms)
    {
        int64_t cost = BufferCost(m_plan[seq].size);
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                  [&] { return m_inFlight <= 0 || m_inFlight + cost <= kPacedBudget; });
    }
    // Waits until n datagrams in all have been handed over.
    bool WaitForDelivered(size_t n, DWORD ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_delivered >= n; });
    }
    // After a phase whose losses the system has counted: nothing is in flight
    // any more, and the short datagrams it lost are written off.
    void CloseBooks()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight = 0;
        m_tinySent = m_tinySeen;
    }

    size_t Delivered()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_delivered;
    }
    size_t DeliveredFrom(int sender)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fromSender[sender];
    }
    // Every planned datagram of [first, last) handed over exactly once, and no
    // more of the short ones than were sent. Empty when so.
    std::string MissingOrRepeated(size_t first, size_t last)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::ostringstream s;
        size_t missing = 0, repeated = 0;
        for (size_t i = first; i < last; ++i) {
            if (m_plan[i].size < kHeader)
                continue;
            if (m_seen[i] == 0 && missing++ < 5)
                s << " missing " << i << " (" << m_plan[i].size << " bytes);";
            if (m_seen[i] > 1 && repeated++ < 5)
                s << " datagram " << i << " handed over " << static_cast<int>(m_seen[i]) << " times;";
        }
        for (size_t k = 0; k < m_tinySent.size(); ++k)
            if (m_tinySeen[k] != m_tinySent[k])
                s << " " << m_tinySeen[k] << " of " << m_tinySent[k] << " datagrams of " << k % kHeader
                  << " bytes from sender " << k / kHeader << ";";
        if (missing + repeated > 0)
            s << " (" << missing << " missing, " << repeated << " repeated)";
        return s.str();
    }
    size_t Repeated()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_repeated;
    }
    // The datagrams that did not match their plan.
    const kt::FaultLog &Faults() const { return m_faults; }

private:
    void Check(const unsigned char *p, int length, DWORD addr, int port)
    {
        std::string fault = Judge(p, length, addr, port);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight -= BufferCost(length > 0 ? static_cast<uint32_t>(length) : 0);
        ++m_delivered;
        if (!fault.empty()) {
            m_faults.Add(fault);
        } else {
            int sender = SenderOf(port);
            ++m_fromSender[sender];
            if (static_cast<uint32_t>(length) < kHeader) {
                ++m_tinySeen[sender * kHeader + length];
            } else {
                uint32_t seq;
                memcpy(&seq, p, 4);
                if (++m_seen[seq] > 1)
                    ++m_repeated;
            }
        }
        m_changed.notify_all();
    }

    int SenderOf(int port) const
    {
        for (size_t s = 0; s < m_senderPorts.size(); ++s)
            if (m_senderPorts[s] == port)
                return static_cast<int>(s);
        return -1;
    }

    // Empty if the datagram is one of the plan's, whole and from its sender.
    std::string Judge(const unsigned char *p, int length, DWORD addr, int port) const
    {
        std::ostringstream s;
        s << length << " bytes from " << kt::Dotted(addr) << ":" << port << ": ";
        if (addr != kt::Loopback() || SenderOf(port) < 0)
            return s.str() + "not from a sender of the flood";
        if (length < 0 || static_cast<uint32_t>(length) > kLargest)
            return s.str() + "impossible length";
        if (static_cast<uint32_t>(length) < kHeader) {
            unsigned char expected[kHeader];
            TinyPattern(length, expected);
            return memcmp(p, expected, length) == 0 ? "" : s.str() + "short datagram altered";
        }
        uint32_t seq, sum;
        memcpy(&seq, p, 4);
        memcpy(&sum, p + 4, 4);
        if (seq >= m_plan.Count())
            return s.str() + "unknown sequence number";
        const Shot &shot = m_plan[seq];
        if (shot.size != static_cast<uint32_t>(length))
            return s.str() + "datagram " + std::to_string(seq) + " was " + std::to_string(shot.size) + " bytes";
        if (m_senderPorts[shot.sender] != port)
            return s.str() + "datagram " + std::to_string(seq) + " credited to the wrong sender";
        if (kt::Checksum(p + kHeader, length - kHeader, Basis(seq, length)) != sum)
            return s.str() + "datagram " + std::to_string(seq) + " corrupted";
        return "";
    }

    const FloodPlan &m_plan;
    const std::vector<int> m_senderPorts;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<unsigned char> m_seen;  // times each sequence number was handed over
    std::vector<size_t> m_tinySent, m_tinySeen;  // per sender and length
    std::vector<size_t> m_fromSender;
    size_t m_delivered = 0;
    size_t m_repeated = 0;
    kt::FaultLog m_faults;
    int64_t m_inFlight = 0;
};

// Counts what arrives at a socket bound to the echo port, on a thread of its
// own, until a closing datagram from the closer's port arrives.
class EchoCounter {
public:
    EchoCounter(RawUdp &socket, int echoSourcePort, RawUdp &closer)
        : m_socket(socket), m_echoSourcePort(echoSourcePort), m_closer(closer), m_thread([this] { Run(); })
    {
    }
    ~EchoCounter()
    {
        if (m_thread.joinable())
            Finish();
    }

    size_t Echoes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_echoes;
    }
    // Sends the closing datagram and waits for the thread to read up to it.
    void Finish()
    {
        m_closer.SendTo(kClosing, sizeof kClosing, kt::Loopback(), ECHO_PORT);
        m_thread.join();
    }
    // What arrived that was neither an echo from the listener nor the closing
    // datagram.
    std::vector<std::string> Strays()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_strays;
    }

private:
    static constexpr char kClosing[] = "end of the flood";

    void Run()
    {
        std::vector<char> buffer(65536);
        for (;;) {
            sockaddr_in from = {};
            int fromLength = sizeof from;
            int n = recvfrom(m_socket.socket(), buffer.data(), static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr *>(&from), &fromLength);
            // A datagram this socket sent may have met a closed port; that
            // comes back as a reset on the next receive.
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET)
                continue;
            if (n == SOCKET_ERROR) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_strays.push_back("receive failed with " + std::to_string(WSAGetLastError()));
                return;
            }
            int port = ntohs(from.sin_port);
            bool fromLoopback = from.sin_addr.s_addr == kt::Loopback();
            if (n == static_cast<int>(sizeof kClosing) && fromLoopback && port == m_closer.port() &&
                memcmp(buffer.data(), kClosing, n) == 0)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n == 4 && fromLoopback && port == m_echoSourcePort && memcmp(buffer.data(), "Echo", 4) == 0)
                ++m_echoes;
            else if (m_strays.size() < 10)
                m_strays.push_back(std::to_string(n) + " bytes from " + kt::Dotted(from.sin_addr.s_addr) + ":" +
                                   std::to_string(port));
        }
    }

    RawUdp &m_socket;
    const int m_echoSourcePort;
    RawUdp &m_closer;
    std::mutex m_mutex;
    size_t m_echoes = 0;
    std::vector<std::string> m_strays;
    std::thread m_thread;
};
constexpr char EchoCounter::kClosing[];

// One flood, sent from plain sockets: one on an ephemeral port and, for the
// listeners, one on the echo port.
class Flood {
public:
    enum { kFromEphemeral = 0, kFromEchoPort = 1 };

    explicit Flood(bool withEchoPort) : m_bytes(kLargest)
    {
        if (!withEchoPort)
            return;
        m_echoPort.reset(new RawUdp(kt::Loopback(), ECHO_PORT, false));
        int big = 1 << 20;
        setsockopt(m_echoPort->socket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&big), sizeof big);
    }

    ::testing::AssertionResult Ready() const
    {
        if (!m_ephemeral.ok())
            return ::testing::AssertionFailure() << "no socket";
        if (m_echoPort != nullptr && !m_echoPort->ok())
            return ::testing::AssertionFailure() << "the echo port is taken by another program";
        return ::testing::AssertionSuccess();
    }
    RawUdp &Ephemeral() { return m_ephemeral; }
    // It sends part of the flood and hears the echoes.
    RawUdp &EchoPort() { return *m_echoPort; }
    std::vector<int> SenderPorts() const { return {m_ephemeral.port(), ECHO_PORT}; }
    unsigned char *Bytes() { return m_bytes.data(); }

    // The three phases of every flood: paced, a saturating burst, paced again.
    void Run(const FloodPlan &plan, FloodTally &tally, const std::vector<DWORD> &targets, int port)
    {
        size_t third = plan.Count() / 3;
        Paced(plan, tally, 0, third, targets, port);
        Burst(plan, tally, third, 2 * third, targets, port);
        Paced(plan, tally, 2 * third, plan.Count(), targets, port);
        EXPECT_TRUE(tally.Faults().Empty());
    }

private:
    void Send(const FloodPlan &plan, uint32_t seq, const std::vector<DWORD> &targets, int port)
    {
        plan.Build(seq, m_bytes.data());
        const Shot &shot = plan[seq];
        RawUdp &from = shot.sender == kFromEphemeral ? m_ephemeral : *m_echoPort;
        ASSERT_TRUE(from.SendTo(m_bytes.data(), static_cast<int>(shot.size), targets[shot.target], port));
    }

    // Sends datagrams [first, last) of the plan, each only when the listener has
    // room for it, and expects every one of them handed over intact.
    void Paced(const FloodPlan &plan, FloodTally &tally, size_t first, size_t last,
               const std::vector<DWORD> &targets, int port)
    {
        size_t before = tally.Delivered();
        unsigned long long dropsBefore = kt::ReadUdpPortCounters(port).drops;
        DWORD start = GetTickCount();
        for (size_t i = first; i < last; ++i) {
            ASSERT_TRUE(tally.WaitForRoom(static_cast<uint32_t>(i), kt::Bound()))
                << "the listener stopped handing over datagrams after " << tally.Delivered() - before;
            tally.Sending(static_cast<uint32_t>(i));
            Send(plan, static_cast<uint32_t>(i), targets, port);
        }
        EXPECT_TRUE(tally.WaitForDelivered(before + (last - first), kt::Bound()))
            << tally.Delivered() - before << " of " << last - first << " handed over";
        EXPECT_EQ("", tally.MissingOrRepeated(first, last));
        EXPECT_EQ(dropsBefore, kt::ReadUdpPortCounters(port).drops) << "a paced datagram was dropped";
        std::cout << "paced: " << last - first << " datagrams, all handed over intact, in "
                  << GetTickCount() - start << " ms" << std::endl;
    }

    // Sends datagrams [first, last) as fast as the socket takes them. Every one
    // must be either handed over intact or counted by the system as dropped for
    // a full receive buffer.
    void Burst(const FloodPlan &plan, FloodTally &tally, size_t first, size_t last,
               const std::vector<DWORD> &targets, int port)
    {
        const size_t before = tally.Delivered();
        const kt::UdpPortCounters system = kt::ReadUdpPortCounters(port);
        ASSERT_TRUE(system.found) << "the system does not show the listener's port";
        DWORD start = GetTickCount();
        for (size_t i = first; i < last; ++i) {
            tally.Sending(static_cast<uint32_t>(i));
            Send(plan, static_cast<uint32_t>(i), targets, port);
        }
        DWORD sendTime = GetTickCount() - start;
        const size_t sent = last - first;
        size_t delivered = 0;
        unsigned long long dropped = 0;
        auto accounted = [&] {
            dropped = kt::ReadUdpPortCounters(port).drops - system.drops;
            delivered = tally.Delivered() - before;
            return delivered + dropped >= sent;
        };
        EXPECT_TRUE(kt::PollUntil(accounted, kt::Bound(60000)))
            << "sent " << sent << ", handed over " << delivered << ", dropped by the system " << dropped
            << ", still queued " << kt::ReadUdpPortCounters(port).queued << " bytes";
        EXPECT_EQ(sent, delivered + dropped) << "every datagram is handed over or dropped for a full buffer";
        EXPECT_EQ(0u, tally.Repeated());
        tally.CloseBooks();
        std::cout << "burst: " << sent << " datagrams sent in " << sendTime << " ms, " << delivered
                  << " handed over intact, " << dropped << " dropped by the system for a full receive buffer"
                  << std::endl;
    }

    RawUdp m_ephemeral{kt::Loopback(), 0};
    std::unique_ptr<RawUdp> m_echoPort;
    std::vector<unsigned char> m_bytes;
};

size_t Volume()
{
    return 6000 * static_cast<size_t>(kt::Soak());
}

tagParamListen ListenRecord(int port, FloodTally *tally, BOOL bEcho)
{
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.nPort = port;
    param.pfnReceive = FloodTally::Receive;
    param.pUserData = tally;
    param.bEcho = bEcho;
    return param;
}

int EchoSourcePort(const CKesListen &listener)
{
    return kt::BoundPort(listener.m_echoSend.m_pSocket->GetSocket());
}

unsigned long long EchoPortDrops()
{
    return kt::ReadUdpPortCounters(ECHO_PORT).drops;
}

// A listener with the echo on, flooded from an ephemeral port and from the
// echo port: each datagram from the ephemeral port that is handed over is
// answered with exactly one "Echo"; those from the echo port never are.
class DatagramFloodTest : public kt::WinsockTest {};

// A listener with the echo on, flooded from an ephemeral port and from the
// echo port: each datagram from the ephemeral port that is handed over is
// answered with exactly one "Echo"; those from the echo port never are.
TEST_F(DatagramFloodTest, AnEchoingListenerHandsOverEveryDatagramIntactAndAnswersEachOnce)
{
    const int port = kt::FreeUdpPort();
    const std::vector<DWORD> targets = {kt::Loopback()};
    {
        CKesListen warmUp;  // the first listener of a process costs more than the others
        tagParamListen param = ListenRecord(port, nullptr, TRUE);
        param.pfnReceive = nullptr;
        ASSERT_EQ(1, warmUp.InitInstance(&param));
        warmUp.Release();
    }
    const kt::Census before = kt::Census::Take();
    {
        Flood flood(true);
        ASSERT_TRUE(flood.Ready());
        FloodPlan plan(0x8B1u, Volume(), 2, 1);
        FloodTally tally(plan, flood.SenderPorts());
        tagParamListen param = ListenRecord(port, &tally, TRUE);
        const unsigned long long echoDropsBefore = EchoPortDrops();
        CKesListen listener;
        ASSERT_EQ(1, listener.InitInstance(&param));
        EchoCounter echoes(flood.EchoPort(), EchoSourcePort(listener), flood.Ephemeral());
        flood.Run(plan, tally, targets, port);

        // Every echo that left the listener either arrived or was dropped at
        // the echo port for a full buffer: exactly one per datagram handed
        // over from the ephemeral port, none for those from the echo port.
        const size_t answerable = tally.DeliveredFrom(Flood::kFromEphemeral);
        EXPECT_TRUE(kt::PollUntil([&] { return echoes.Echoes() + EchoPortDrops() - echoDropsBefore >= answerable; },
                                  kt::Bound()));
        echoes.Finish();
        const unsigned long long echoDrops = EchoPortDrops() - echoDropsBefore;
        EXPECT_EQ(answerable, echoes.Echoes() + echoDrops);
        EXPECT_EQ(std::vector<std::string>(), echoes.Strays());
        std::cout << "echoes: " << answerable << " datagrams from an ephemeral port handed over, "
                  << echoes.Echoes() << " answers arrived and " << echoDrops
                  << " were dropped at the echo port for a full buffer; "
                  << tally.DeliveredFrom(Flood::kFromEchoPort) << " datagrams from the echo port, none answered"
                  << std::endl;
        listener.Release();
    }
    EXPECT_TRUE(kt::SettlesBackTo(before));
}

// A listener on two addresses, each served by its own thread, flooded on both
// at once. It never answers, not even what comes from an ephemeral port.
TEST_F(DatagramFloodTest, AListenerOnTwoAddressesHandsOverEveryDatagramIntactAndNeverAnswers)
{
    const int port = kt::FreeUdpPort();
    // Under Wine the second address is bound as any address; it still serves
    // only what the exact binding of the first leaves to it.
    const std::vector<DWORD> targets = {kt::Loopback(), kt::Addr("127.0.0.2")};
    tagParamListen3 param;
    param.nPort = port;
    param.nCount = 2;
    param.dwLocalAddr[0] = targets[0];
    param.dwLocalAddr[1] = targets[1];
    {
        CKesListen3 warmUp;
        ASSERT_EQ(1, warmUp.InitInstance(&param));
        warmUp.Release();
    }
    const kt::Census before = kt::Census::Take();
    {
        Flood flood(true);
        ASSERT_TRUE(flood.Ready());
        FloodPlan plan(0x8B3u, Volume(), 2, 2);
        FloodTally tally(plan, flood.SenderPorts());
        param.pfnReceive = FloodTally::Receive;
        param.pUserData = &tally;
        CKesListen3 listener;
        ASSERT_EQ(1, listener.InitInstance(&param));
        EchoCounter echoes(flood.EchoPort(), -1, flood.Ephemeral());
        flood.Run(plan, tally, targets, port);
        echoes.Finish();
        EXPECT_EQ(0u, echoes.Echoes());
        EXPECT_EQ(std::vector<std::string>(), echoes.Strays()) << "nothing is ever sent to the echo port";
        listener.Release();
    }
    EXPECT_TRUE(kt::SettlesBackTo(before));
}

// An acknowledged sender whose echo listener is flooded with datagrams that
// are not echoes. Under Wine every datagram here comes from 127.0.0.1, the
// address the sender waits on, so any of them may acknowledge a send during
// the flood. Once the flood has been read the sender must work as before:
// acknowledged sends to an echoing listener, none from a silent receiver.
TEST_F(DatagramFloodTest, AFloodAtTheEchoPortLeavesTheAcknowledgedSenderWorking)
{
    const int echoingPort = kt::FreeUdpPort();
    tagParamSend record;
    record.dwLocalAddr = kt::Loopback();
    record.dwDestAddr = kt::Loopback();
    record.nDestPort = echoingPort;
    record.dwEchoTimeout = kt::Bound(1000);
    {
        CKesSend2 warmUp;  // the first of a process costs more than the others
        ASSERT_EQ(1, warmUp.InitInstance(&record));
        warmUp.Release();
    }
    const kt::Census before = kt::Census::Take();
    {
        Flood flood(false);
        ASSERT_TRUE(flood.Ready());
        FloodPlan plan(0x8B5u, Volume(), 1, 1);
        FloodPlan sends(0x8B7u, 64, 1, 1);
        RawUdp silent(kt::Loopback(), 0);
        CKesSend2 sender;
        ASSERT_EQ(1, sender.InitInstance(&record));
        FloodTally tally(sends, {kt::BoundPort(sender.m_pSocket->GetSocket())});
        tagParamListen param = ListenRecord(echoingPort, &tally, TRUE);
        CKesListen echoing;
        ASSERT_EQ(1, echoing.InitInstance(&param));

        // Each acknowledged send carries the next datagram of `sends`, once the
        // echoing listener has room for it.
        uint32_t next = 0;
        auto acknowledged = [&] {
            EXPECT_TRUE(tally.WaitForRoom(next, kt::Bound()));
            tally.Sending(next);
            sends.Build(next, flood.Bytes());
            return sender.Send(flood.Bytes(), sends[next++].size, 0, 0);
        };

        const unsigned long long dropsBefore = EchoPortDrops();
        std::thread flooding([&] {
            std::vector<unsigned char> bytes(kLargest);
            for (uint32_t i = 0; i < plan.Count(); ++i) {
                plan.Build(i, bytes.data());
                flood.Ephemeral().SendTo(bytes.data(), static_cast<int>(plan[i].size), kt::Loopback(), ECHO_PORT);
            }
        });
        int duringFlood = 0;
        for (int i = 0; i < 20; ++i)
            duringFlood += acknowledged();
        flooding.join();

        // The flood has been read, or dropped, once the echo port's queue is empty.
        EXPECT_TRUE(kt::PollUntil([] { return kt::ReadUdpPortCounters(ECHO_PORT).queued == 0; }, kt::Bound(60000)))
            << "the echo listener stopped reading";
        std::cout << "flood at the echo port: " << plan.Count() << " datagrams, " << EchoPortDrops() - dropsBefore
                  << " dropped for a full buffer; " << duringFlood << " of 20 sends during it acknowledged"
                  << std::endl;

        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(1, acknowledged()) << "send " << i << " after the flood";
        // The first may still be acknowledged by the last flood datagram, read
        // while that send was on its way.
        int silentAcknowledged = 0;
        for (int i = 0; i < 3 && silentAcknowledged == i; ++i)
            silentAcknowledged += sender.Send(flood.Bytes(), 16, kt::Loopback(), silent.port());
        EXPECT_LT(silentAcknowledged, 3) << "a silent receiver never acknowledges";
        EXPECT_EQ(1, acknowledged());
        EXPECT_TRUE(tally.WaitForDelivered(next, kt::Bound()));
        EXPECT_EQ("", tally.MissingOrRepeated(0, next));
        EXPECT_TRUE(tally.Faults().Empty());

        EXPECT_TRUE(kt::ReturnsWithin([&] {
            echoing.Release();
            sender.Release();
        }));
    }
    EXPECT_TRUE(kt::SettlesBackTo(before));
}

}  // namespace
