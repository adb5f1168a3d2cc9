#include "traffic.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>

namespace kt {

int Soak()
{
    static const int factor = [] {
        const char *s = getenv("KESNET_SOAK");
        int n = s != nullptr ? atoi(s) : 1;
        return n > 0 ? n : 1;
    }();
    return factor;
}

void Xorshift::Fill(unsigned char *p, size_t n)
{
    while (n >= 4) {
        uint32_t v = Next();
        memcpy(p, &v, 4);
        p += 4;
        n -= 4;
    }
    if (n > 0) {
        uint32_t v = Next();
        memcpy(p, &v, n);
    }
}

bool PollUntil(const std::function<bool()> &pred, DWORD ms)
{
    DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(10);
    }
    return true;
}

uint32_t Checksum(const unsigned char *p, size_t n, uint32_t basis)
{
    uint32_t h = basis;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

std::string ReadWholeFile(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "";
    std::string text;
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(h);
    return text;
}

void FaultLog::Add(const std::string &fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_first.size() < 10)
        m_first.push_back(fault);
    ++m_count;
}

::testing::AssertionResult FaultLog::Empty() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count == 0)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult result = ::testing::AssertionFailure() << m_count << " faults; the first:";
    for (const std::string &fault : m_first)
        result << "\n  " << fault;
    return result;
}

UdpPortCounters ReadUdpPortCounters(int port)
{
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt
    //  uid timeout inode ref pointer drops", addresses as hex address:port.
    UdpPortCounters counters;
    // Read through the Wine server, which lives in the same network namespace
    // as the sockets it made for this process.
    std::istringstream lines(ReadWholeFile("Z:\\proc\\net\\udp"));
    std::string line;
    std::getline(lines, line);  // the column names
    while (std::getline(lines, line)) {
        unsigned localAddr = 0, localPort = 0, remoteAddr = 0, remotePort = 0, state = 0;
        unsigned long txQueue = 0, rxQueue = 0;
        if (sscanf(line.c_str(), " %*u: %x:%x %x:%x %x %lx:%lx", &localAddr, &localPort, &remoteAddr, &remotePort,
                   &state, &txQueue, &rxQueue) != 7 ||
            static_cast<int>(localPort) != port)
            continue;
        std::istringstream fields(line);
        std::string field, last;
        while (fields >> field)
            last = field;
        counters.found = true;
        counters.queued += rxQueue;
        counters.drops += strtoull(last.c_str(), nullptr, 10);
    }
    return counters;
}

}  // namespace kt
