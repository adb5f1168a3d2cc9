// The receivers that the listen agent runs for the bench driver: the library's
// listeners, and the same jobs done with raw Winsock and with Asio. Each counts
// what reaches it into a Tally, the same way, so that they differ only in how
// the data gets there.
#ifndef KESNET_BENCH_AGENT_RECEIVER_H
#define KESNET_BENCH_AGENT_RECEIVER_H

#include "kesnet.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// What reached a receiver: datagrams or reads, their bytes, and when the first
// and the latest arrived. Updated from every receive thread at once.
class Tally {
public:
    void Add(int bytes);
    void Reset();
    long long Count() const { return m_count; }
    long long Bytes() const { return m_bytes; }
    double First() const;  // seconds on the clock of bench::Seconds(); 0 before the first
    double Last() const;

    // The ReceiveProc of the library's listeners; pUserData is the Tally.
    static void __cdecl OnReceive(void *pData, int nLength, void *pUserData, unsigned long dwAddr,
                                  int nPort);

private:
    std::atomic<long long> m_count{0}, m_bytes{0};
    std::atomic<long long> m_first{0}, m_last{0};  // performance-counter ticks
};

// Where a receiver serves: one port, on one address or on each of several.
struct Where {
    std::vector<DWORD> addrs;
    int port = 0;
    int clients = 62;  // TCP: clients served at once
};

class Receiver {
public:
    virtual ~Receiver() {}
    // Starts serving; false, with the reason in *why, if it cannot.
    virtual bool Start(const Where &where, Tally *tally, std::string *why) = 0;
    // Stops serving and gives everything back. The release benchmark times it.
    virtual void Stop() = 0;
};

struct ReceiverKind {
    const char *name;      // as the driver asks for it
    const char *proto;     // "udp" or "tcp"
    int maxAddrs;          // addresses served at once: 1, or up to 8
    const char *baseline;  // a library kind: the raw kind doing the same job; a baseline: ""
    std::unique_ptr<Receiver> (*make)();
    const ReceiverKind *next;
};

const ReceiverKind *FirstReceiverKind();

struct ReceiverRegistration {
    explicit ReceiverRegistration(ReceiverKind *kind);
};

// Registers a receiver kind with the agent: one line per kind.
#define KESNET_BENCH_RECEIVER(id, name, proto, maxAddrs, baseline, Class)                        \
    static bench::ReceiverKind id##_kind = {                                                     \
        name, proto, maxAddrs, baseline,                                                         \
        []() -> std::unique_ptr<bench::Receiver> { return std::unique_ptr<bench::Receiver>(new Class); }, \
        nullptr};                                                                                \
    static bench::ReceiverRegistration id##_registration(&id##_kind)

}  // namespace bench

#endif
