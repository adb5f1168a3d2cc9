#include "test_support.h"

#include <ws2tcpip.h>

#include <stdlib.h>
#include <string.h>

namespace kt {

DWORD Bound(DWORD ms)
{
    static const double scale = [] {
        const char *s = getenv("KESNET_WAIT_SCALE");
        double v = s != nullptr ? atof(s) : 1.0;
        return v > 0 ? v : 1.0;
    }();
    return static_cast<DWORD>(ms * scale);
}

DWORD Addr(const char *dotted)
{
    return inet_addr(dotted);
}

std::string Dotted(DWORD addr)
{
    in_addr a;
    a.s_addr = addr;
    return inet_ntoa(a);
}

bool InPrivateNetwork()
{
    const char *s = getenv("KESNET_NETNS");
    return s != nullptr && s[0] == '1';
}

static DWORD VethAddr(int i, int host)
{
    std::string dotted = "10.77." + std::to_string(i + 1) + "." + std::to_string(host);
    return Addr(dotted.c_str());
}

DWORD LocalVeth(int i)
{
    return VethAddr(i, 1);
}

DWORD PeerVeth(int i)
{
    return VethAddr(i, 2);
}

std::vector<DWORD> LocalVethsThenForeign(int k)
{
    std::vector<DWORD> addrs;
    for (int i = 0; i < k; ++i)
        addrs.push_back(LocalVeth(i % 2));
    addrs.push_back(Addr("10.99.99.99"));
    return addrs;
}

::testing::AssertionResult Holds(bool condition, const char *what)
{
    if (condition)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what;
}

void ExpectRows(const std::vector<Row> &rows, const std::vector<Row::Check> &afterEach)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.expected, row.call());
        if (row.then) {
            EXPECT_TRUE(row.then());
        }
        for (const Row::Check &check : afterEach)
            EXPECT_TRUE(check());
    }
}

std::string Text(const Datagram &d)
{
    return std::string(d.data.begin(), d.data.end());
}

void __cdecl Collector::Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr,
                                int nPort)
{
    Collector *self = static_cast<Collector *>(pUserData);
    Received call;
    unsigned char *p = static_cast<unsigned char *>(pData);
    size_t length = nLength > 0 ? static_cast<size_t>(nLength) : 0;
    call.data.assign(p, p + length);
    call.addr = dwAddr;
    call.port = nPort;
    call.user = pUserData;
    call.threadId = GetCurrentThreadId();
    if (self->m_bufferSize > 0) {
        call.zeroAfter = true;
        for (size_t i = length; i < self->m_bufferSize; ++i)
            call.zeroAfter = call.zeroAfter && p[i] == 0;
        if (self->m_writeOver)
            memset(p, 0xEE, self->m_bufferSize);
    }
    if (self->m_places)
        call.places = self->m_places();
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_items.push_back(std::move(call));
    self->m_changed.notify_all();
}

size_t Collector::BytesFrom(const DWORD *addr, const int *port)
{
    size_t n = 0;
    for (const Received &call : m_items)
        if ((addr == nullptr || call.addr == *addr) && (port == nullptr || call.port == *port))
            n += call.data.size();
    return n;
}

bool Collector::WaitFor(size_t n, DWORD ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_items.size() >= n; });
}

bool Collector::WaitForBytes(DWORD addr, int port, size_t n, DWORD ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return BytesFrom(&addr, &port) >= n; });
}

bool Collector::WaitForBytes(size_t n, DWORD ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return BytesFrom(nullptr, nullptr) >= n; });
}

size_t Collector::Count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
}

Received Collector::At(size_t i)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.at(i);
}

std::vector<Received> Collector::All()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items;
}

std::vector<unsigned char> Collector::StreamFrom(DWORD addr, int port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<unsigned char> bytes;
    for (const Received &call : m_items)
        if (call.addr == addr && call.port == port)
            bytes.insert(bytes.end(), call.data.begin(), call.data.end());
    return bytes;
}

Received Collector::LastFrom(DWORD addr, int port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
        if (it->addr == addr && it->port == port)
            return *it;
    return Received();
}

sockaddr_in SocketAddress(DWORD addr, int port)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

RawUdp::RawUdp(DWORD local, int port, bool reuse)
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (m_socket == INVALID_SOCKET)
        return;
    int one = 1;
    if (reuse)
        setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&one), sizeof one);
    sockaddr_in sa = SocketAddress(local, port);
    if (bind(m_socket, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == SOCKET_ERROR) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

RawUdp::~RawUdp()
{
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
}

int RawUdp::port() const
{
    return BoundPort(m_socket);
}

bool RawUdp::SendTo(const void *data, int length, DWORD addr, int port)
{
    sockaddr_in to = SocketAddress(addr, port);
    return sendto(m_socket, static_cast<const char *>(data), length, 0, reinterpret_cast<sockaddr *>(&to),
                  sizeof to) == length;
}

bool RawUdp::JoinGroup(DWORD group, DWORD iface)
{
    ip_mreq join = {};
    join.imr_multiaddr.s_addr = group;
    join.imr_interface.s_addr = iface;
    return setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<char *>(&join), sizeof join) == 0;
}

bool RawUdp::SetMulticastInterface(DWORD addr)
{
    int value = static_cast<int>(addr);
    return setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char *>(&value), sizeof value) == 0;
}

bool RawUdp::Receive(Datagram *out, DWORD ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket, &readable);
    timeval limit = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1)
        return false;
    std::vector<char> buffer(65536);
    sockaddr_in from = {};
    int fromLength = sizeof from;
    int n = recvfrom(m_socket, buffer.data(), static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n == SOCKET_ERROR)
        return false;
    out->data.assign(buffer.begin(), buffer.begin() + n);
    out->addr = from.sin_addr.s_addr;
    out->port = ntohs(from.sin_port);
    return true;
}

std::vector<Datagram> RawUdp::Drain()
{
    std::vector<Datagram> all;
    Datagram d;
    while (Receive(&d, 0))
        all.push_back(d);
    return all;
}

int BoundPort(SOCKET s)
{
    sockaddr_in sa = {};
    int length = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length) == SOCKET_ERROR)
        return -1;
    return ntohs(sa.sin_port);
}

bool UdpPortFree(DWORD addr, int port)
{
    RawUdp probe(addr, port, false);
    return probe.ok();
}

PageEdge::PageEdge(DWORD secondPage)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    m_page = info.dwPageSize;
    m_base = static_cast<BYTE *>(VirtualAlloc(nullptr, 2 * m_page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    m_ok = m_base != nullptr && VirtualProtect(m_base + m_page, m_page, secondPage, &old);
}

PageEdge::~PageEdge()
{
    if (m_base != nullptr)
        VirtualFree(m_base, 0, MEM_RELEASE);
}

int FreeUdpPort()
{
    RawUdp probe(0, 0, false);
    return probe.ok() ? probe.port() : -1;
}

HANDLE DuplicateThread(HANDLE h)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0);
    return copy;
}

}  // namespace kt
