// Shared helpers of the unit tests: bounded waits, a collector of received
// data, raw Winsock sockets to talk to the library, and the addresses of the
// private test network.
#ifndef KESNET_TEST_SUPPORT_H
#define KESNET_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kesnet.h"

// The import slot through which a program's calls of a system function go,
// by its linker name: a test that defines it replaces the function for every
// caller in the program (the library's code included). The names differ:
// the 32-bit ones carry an underscore and the bytes of the arguments of the
// __stdcall function.
#ifdef _WIN64
#define KT_IMPORT_SLOT(function, argumentBytes) "__imp_" #function
#else
#define KT_IMPORT_SLOT(function, argumentBytes) "__imp__" #function "@" #argumentBytes
#endif

namespace kt {

// Every bounded wait of the tests is this many milliseconds times the factor
// in KESNET_WAIT_SCALE (default 1). They are limits, never expected times.
DWORD Bound(DWORD ms = 10000);

DWORD Addr(const char *dotted);
std::string Dotted(DWORD addr);
inline DWORD Loopback() { return Addr("127.0.0.1"); }

// The private network namespace made by the test command, when there is one:
// loopback with multicast, and the addresses of this host and its peer on
// two veth links. Cases that need it skip with a reason without it.
bool InPrivateNetwork();
DWORD LocalVeth(int i);  // 10.77.<i+1>.1
DWORD PeerVeth(int i);   // 10.77.<i+1>.2
// For failures of slot k of a multi-interface object: k addresses of this host
// in the private network (the two veth links in turn), then one it does not
// have.
std::vector<DWORD> LocalVethsThenForeign(int k);
#define KT_REQUIRE_PRIVATE_NETWORK()                                                        \
    do {                                                                                    \
        if (!kt::InPrivateNetwork())                                                        \
            GTEST_SKIP() << "needs the private network namespace of the test command "      \
                            "(run as root): multicast and extra interfaces stay inside it"; \
    } while (0)

// One row of a table of cases: what it is (the failure names it), the call,
// its expected result and, optionally, what must hold afterwards.
struct Row {
    typedef std::function<::testing::AssertionResult()> Check;
    Row(std::string what_, std::function<long()> call_, long expected_, Check then_ = nullptr)
        : what(std::move(what_)), call(std::move(call_)), expected(expected_), then(std::move(then_))
    {
    }
    std::string what;
    std::function<long()> call;
    long expected;
    Check then;
};

// Success if condition holds, else a failure that says what went wrong.
::testing::AssertionResult Holds(bool condition, const char *what);

// Runs every row, checking its result and its own check, then the checks
// that must hold after every row.
void ExpectRows(const std::vector<Row> &rows, const std::vector<Row::Check> &afterEach = {});

// Winsock started for the length of a test, before the members of a derived
// fixture are made and after they are gone.
class WinsockTest : public ::testing::Test {
protected:
    WinsockTest() : m_started(KesInitInstance() == 1) {}
    ~WinsockTest() override
    {
        if (m_started)
            KesExitInstance();
    }
    void SetUp() override { ASSERT_TRUE(m_started) << "Winsock 2.2 did not start"; }

private:
    bool m_started;
};

// A datagram as a plain socket receives it.
struct Datagram {
    std::vector<unsigned char> data;
    DWORD addr = 0;
    int port = 0;
};

// The bytes of a datagram (or of one call of a callback) as a string.
std::string Text(const Datagram &d);

// The address and port of a stream's or a datagram's source.
typedef std::pair<DWORD, int> Place;

// One call of a ReceiveProc as the Collector saw it: the bytes (a datagram,
// or one piece of a stream) with their source, and what the callback found
// around them.
struct Received : Datagram {
    void *user = nullptr;
    DWORD threadId = 0;
    // Every byte of the buffer after the data was zero (when the collector
    // checks each buffer).
    bool zeroAfter = false;
    // The clients a stream listener served at that moment, place by place
    // (when the collector watches them).
    std::vector<Place> places;
};

// Records what a ReceiveProc is given, call by call, for the datagram
// listeners (a call per datagram) and the stream listeners (a call per piece
// of a stream) alike; pass the collector as pUserData.
class Collector {
public:
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr,
                                int nPort);
    // Also record, at every call, what places() tells then. Set before the
    // listener starts: its thread calls it inside the callback.
    void Watch(std::function<std::vector<Place>()> places) { m_places = std::move(places); }
    // Note at every call whether the buffer it came in, of bufferSize bytes,
    // is zero after the data (Received::zeroAfter).
    void CheckEachBuffer(size_t bufferSize) { m_bufferSize = bufferSize; }
    // The same, then write over the whole buffer, as a host may (a
    // terminator after the bytes, or parsing in place).
    void WriteOverEachBuffer(size_t bufferSize)
    {
        m_bufferSize = bufferSize;
        m_writeOver = true;
    }

    // Waits (bounded) until at least n calls were recorded. false on time-out.
    bool WaitFor(size_t n, DWORD ms = Bound());
    // Waits (bounded) until n bytes in all have come from addr:port.
    bool WaitForBytes(DWORD addr, int port, size_t n, DWORD ms = Bound());
    // Waits (bounded) until n bytes in all have come from anyone.
    bool WaitForBytes(size_t n, DWORD ms = Bound());
    size_t Count();
    Received At(size_t i);
    std::vector<Received> All();
    // The bytes of every call from addr:port, in order.
    std::vector<unsigned char> StreamFrom(DWORD addr, int port);
    // The latest call from addr:port; a default one if none.
    Received LastFrom(DWORD addr, int port);

private:
    // Bytes from addr:port; a null address or port matches any.
    size_t BytesFrom(const DWORD *addr, const int *port);

    std::function<std::vector<Place>()> m_places;
    size_t m_bufferSize = 0;
    bool m_writeOver = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Received> m_items;
};

// A plain Winsock UDP socket.
class RawUdp {
public:
    explicit RawUdp(DWORD local = Loopback(), int port = 0, bool reuse = true);
    ~RawUdp();
    bool ok() const { return m_socket != INVALID_SOCKET; }
    SOCKET socket() const { return m_socket; }
    int port() const;
    bool SendTo(const void *data, int length, DWORD addr, int port);
    // Joins a multicast group on the interface iface.
    bool JoinGroup(DWORD group, DWORD iface);
    // Group datagrams leave through the interface addr from now on.
    bool SetMulticastInterface(DWORD addr);
    // Receives one datagram within ms; false on time-out.
    bool Receive(Datagram *out, DWORD ms = Bound());
    // Receives every datagram already queued, without waiting.
    std::vector<Datagram> Drain();

private:
    SOCKET m_socket;
};

// An IPv4 socket address (addr in network byte order, port in host order).
sockaddr_in SocketAddress(DWORD addr, int port);
// The local port a socket is bound to.
int BoundPort(SOCKET s);
// True if nothing holds the UDP port on addr (an exclusive bind succeeds).
bool UdpPortFree(DWORD addr, int port);
// A UDP port that was free on every interface a moment ago, for objects that
// must bind one port number on several addresses.
int FreeUdpPort();

// A stream object of KesCreateObject goes back through its destructor slot,
// Delete(), never through delete.
template <typename T>
void DeleteStreamObject(T *object)
{
    if (object != nullptr)
        object->Delete();
}
struct StreamObjectDeleter {
    template <typename T>
    void operator()(T *object) const { DeleteStreamObject(object); }
};
template <typename T>
using StreamObject = std::unique_ptr<T, StreamObjectDeleter>;

// A block such as the memory of a freed object of class T likely comes back
// as: one of T's own heap (its operator new), of T's size, marked all over. A
// thread that still wrote into the freed object would spoil the mark.
template <typename T>
class ReusedBlock {
public:
    static const unsigned char kMark = 0xDD;
    ReusedBlock() : m_bytes(static_cast<unsigned char *>(T::operator new(sizeof(T))))
    {
        if (m_bytes != nullptr)
            memset(m_bytes, kMark, sizeof(T));
    }
    ~ReusedBlock() { T::operator delete(m_bytes); }
    ReusedBlock(const ReusedBlock &) = delete;
    ReusedBlock &operator=(const ReusedBlock &) = delete;
    bool Untouched() const
    {
        for (size_t i = 0; m_bytes != nullptr && i < sizeof(T); ++i)
            if (m_bytes[i] != kMark)
                return false;
        return m_bytes != nullptr;
    }

private:
    unsigned char *m_bytes;
};

// A manual-reset event for handing control between a test and a callback.
class Gate {
public:
    Gate() : m_h(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Gate() { CloseHandle(m_h); }
    void Open() { SetEvent(m_h); }
    bool Wait(DWORD ms = Bound()) { return WaitForSingleObject(m_h, ms) == WAIT_OBJECT_0; }
    HANDLE handle() const { return m_h; }

private:
    HANDLE m_h;
};

// Two pages: the first readable and writable, the second with the given
// protection (PAGE_READONLY, PAGE_NOACCESS), to hand the library a buffer that
// is usable only up to a point. At(n) is n bytes before the second page.
class PageEdge {
public:
    explicit PageEdge(DWORD secondPage);
    ~PageEdge();
    PageEdge(const PageEdge &) = delete;
    PageEdge &operator=(const PageEdge &) = delete;
    bool ok() const { return m_ok; }
    BYTE *At(size_t n) const { return m_base + m_page - n; }

private:
    BYTE *m_base;
    DWORD m_page;
    bool m_ok;
};

// A duplicate of a thread handle, to see a thread end after its owner closed
// its own handle.
HANDLE DuplicateThread(HANDLE h);

}  // namespace kt

#endif
