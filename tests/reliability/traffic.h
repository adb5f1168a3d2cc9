// Shared by the load tests: the soak factor, reproducible random content with
// its checksum, and the system's own counters of a UDP port.
#ifndef KESNET_RELIABILITY_TRAFFIC_H
#define KESNET_RELIABILITY_TRAFFIC_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

namespace kt {

// KESNET_SOAK=N multiplies the volumes of the load tests by N (default 1), for
// long runs by hand.
int Soak();

// A small, fast generator of reproducible pseudo-random bytes.
class Xorshift {
public:
    explicit Xorshift(uint32_t seed) : m_state(seed != 0 ? seed : 0x9E3779B9u) {}
    uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    // A number from 0 to bound - 1.
    uint32_t Below(uint32_t bound) { return bound != 0 ? Next() % bound : 0; }
    void Fill(unsigned char *p, size_t n);

private:
    uint32_t m_state;
};

// Waits until pred holds, looking again every few milliseconds, at most ms;
// for conditions that nothing signals (a system counter, a queue emptied).
bool PollUntil(const std::function<bool()> &pred, DWORD ms);

// FNV-1a over n bytes, starting from basis.
uint32_t Checksum(const unsigned char *p, size_t n, uint32_t basis = 2166136261u);

// The system's counters of the UDP sockets bound to a local port (all local
// addresses together), from /proc/net/udp: datagrams dropped because a
// socket's receive buffer was full, and bytes waiting in the receive queues.
struct UdpPortCounters {
    bool found = false;
    unsigned long long drops = 0;
    unsigned long long queued = 0;
};
UdpPortCounters ReadUdpPortCounters(int port);

// The whole of a file (under Wine, Z:\proc\... reads the Linux /proc through
// the Wine server); empty when it cannot be read.
std::string ReadWholeFile(const std::string &path);

// What a checker found wrong, added from any thread: how many faults, and the
// first ten described.
class FaultLog {
public:
    void Add(const std::string &fault);
    // Success when nothing was added; otherwise the count and the first faults.
    ::testing::AssertionResult Empty() const;

private:
    mutable std::mutex m_mutex;
    size_t m_count = 0;
    std::vector<std::string> m_first;
};

}  // namespace kt

#endif
