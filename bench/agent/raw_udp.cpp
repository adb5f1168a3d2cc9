// Raw Winsock datagram receivers, one thread per address, each socket set up
// as the library sets up its own (address reuse, bound, 64 KiB receive buffer):
//   raw-recvfrom   a blocking recvfrom loop, the plainest receiver there is;
//   raw-event-udp  a thread that sleeps on a stop event and the socket's event
//                  and reads one datagram per wake-up: the library listener's
//                  design without the library.
#include "agent/receiver.h"
#include "support/bench.h"

#include <thread>

namespace bench {
namespace {

const int kReceiveBuffer = 65536;

struct Slot {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT netEvent = WSA_INVALID_EVENT;
    std::vector<char> buffer = std::vector<char>(kReceiveBuffer);
};

SOCKET OpenBoundUdp(DWORD addr, int port)
{
    SOCKET s = BoundSocket(SOCK_DGRAM, addr, port, true);
    if (s != INVALID_SOCKET && !SetIntOption(s, SO_RCVBUF, kReceiveBuffer)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Receives one datagram into the slot's buffer and counts it.
void ReceiveOne(Slot &slot, Tally *tally)
{
    sockaddr_in from;
    int fromLength = sizeof from;
    int n = recvfrom(slot.socket, slot.buffer.data(), kReceiveBuffer, 0, reinterpret_cast<sockaddr *>(&from),
                     &fromLength);
    if (n >= 0)
        tally->Add(n);
}

// One socket and one thread per address; the subclass says what the thread does.
class UdpThreads : public Receiver {
public:
    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        m_tally = tally;
        m_slots.resize(where.addrs.size());
        for (size_t i = 0; i < m_slots.size(); i++) {
            m_slots[i].socket = OpenBoundUdp(where.addrs[i], where.port);
            if (m_slots[i].socket == INVALID_SOCKET || !Prepare(m_slots[i])) {
                *why = "cannot set up a UDP socket on the port";
                Stop();
                return false;
            }
        }
        for (Slot &slot : m_slots)
            m_threads.emplace_back([this, &slot] { Serve(slot); });
        return true;
    }

    void Stop() override
    {
        RequestStop();
        for (std::thread &t : m_threads)
            t.join();
        m_threads.clear();
        for (Slot &slot : m_slots) {
            if (slot.socket != INVALID_SOCKET)
                closesocket(slot.socket);
            if (slot.netEvent != WSA_INVALID_EVENT)
                WSACloseEvent(slot.netEvent);
        }
        m_slots.clear();
    }

protected:
    virtual bool Prepare(Slot &slot) = 0;
    virtual void Serve(Slot &slot) = 0;
    virtual void RequestStop() = 0;

    Tally *m_tally = nullptr;

private:
    std::vector<Slot> m_slots;
    std::vector<std::thread> m_threads;
};

class BlockingReceiver : public UdpThreads {
protected:
    bool Prepare(Slot &slot) override
    {
        // The loop cannot be woken by an event; it looks for the stop request
        // whenever the socket has been quiet this long.
        DWORD timeout = 100;
        return setsockopt(slot.socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&timeout),
                          sizeof timeout) == 0;
    }

    void Serve(Slot &slot) override
    {
        while (!m_stop)
            ReceiveOne(slot, m_tally);
    }

    void RequestStop() override { m_stop = true; }

private:
    std::atomic<bool> m_stop{false};
};

class EventReceiver : public UdpThreads {
public:
    EventReceiver() : m_hStop(WSACreateEvent()) {}
    ~EventReceiver() override { WSACloseEvent(m_hStop); }

protected:
    bool Prepare(Slot &slot) override
    {
        slot.netEvent = WSACreateEvent();
        return WSAEventSelect(slot.socket, slot.netEvent, FD_READ) == 0;
    }

    void Serve(Slot &slot) override
    {
        WSAEVENT events[2] = {m_hStop, slot.netEvent};
        for (;;) {
            DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
            if (r == WSA_WAIT_EVENT_0)
                return;
            WSANETWORKEVENTS happened;
            if (r == WSA_WAIT_EVENT_0 + 1 && WSAEnumNetworkEvents(slot.socket, slot.netEvent, &happened) == 0 &&
                (happened.lNetworkEvents & FD_READ))
                ReceiveOne(slot, m_tally);
        }
    }

    void RequestStop() override { WSASetEvent(m_hStop); }

private:
    WSAEVENT m_hStop;
};

}  // namespace

KESNET_BENCH_RECEIVER(raw_recvfrom, "raw-recvfrom", "udp", 8, "", BlockingReceiver);
KESNET_BENCH_RECEIVER(raw_event_udp, "raw-event-udp", "udp", 8, "", EventReceiver);

}  // namespace bench
