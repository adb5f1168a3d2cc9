#include "stream_support.h"

#include <string.h>

#include "stream/tcp_client_table.h"
#include "stream/tcp_server.h"
#include "common/socket_address.h"

namespace kt {

void __cdecl StreamRecorder::Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr,
                                     int nPort)
{
    StreamRecorder *self = static_cast<StreamRecorder *>(pUserData);
    StreamRead read;
    const unsigned char *p = static_cast<const unsigned char *>(pData);
    read.data.assign(p, p + (nLength > 0 ? nLength : 0));
    read.addr = dwAddr;
    read.port = nPort;
    read.threadId = GetCurrentThreadId();
    read.zeroAfter = true;
    for (int i = nLength > 0 ? nLength : 0; i < CTcpServer::kPieceSize; ++i)
        read.zeroAfter = read.zeroAfter && p[i] == 0;
    if (self->m_writeOver)
        memset(pData, 0xEE, CTcpServer::kPieceSize);
    if (self->m_table != nullptr)
        for (int k = 0; k < self->m_table->Count(); ++k)
            read.places.emplace_back(self->m_table->At(k).dwClientAddr, self->m_table->At(k).nClientPort);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_reads.push_back(std::move(read));
    self->m_changed.notify_all();
}

size_t StreamRecorder::BytesFrom(const DWORD *addr, const int *port)
{
    size_t n = 0;
    for (const StreamRead &read : m_reads)
        if ((addr == nullptr || read.addr == *addr) && (port == nullptr || read.port == *port))
            n += read.data.size();
    return n;
}

bool StreamRecorder::WaitForBytes(DWORD addr, int port, size_t n, DWORD ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return BytesFrom(&addr, &port) >= n; });
}

bool StreamRecorder::WaitForBytes(size_t n, DWORD ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return BytesFrom(nullptr, nullptr) >= n; });
}

std::vector<StreamRead> StreamRecorder::Reads()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reads;
}

std::vector<unsigned char> StreamRecorder::StreamFrom(DWORD addr, int port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<unsigned char> bytes;
    for (const StreamRead &read : m_reads)
        if (read.addr == addr && read.port == port)
            bytes.insert(bytes.end(), read.data.begin(), read.data.end());
    return bytes;
}

StreamRead StreamRecorder::LastFrom(DWORD addr, int port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_reads.rbegin(); it != m_reads.rend(); ++it)
        if (it->addr == addr && it->port == port)
            return *it;
    return StreamRead();
}

namespace {

sockaddr_in LocalEnd(SOCKET s)
{
    sockaddr_in sa = {};
    int length = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &length);
    return sa;
}

bool Readable(SOCKET s, DWORD ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    return select(0, &readable, nullptr, nullptr, &limit) == 1;
}

}  // namespace

bool RawTcp::Connect(DWORD addr, int port, DWORD local)
{
    Close();
    m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_socket == INVALID_SOCKET)
        return false;
    sockaddr_in from = MakeAddress(local, 0);
    sockaddr_in to = MakeAddress(addr, port);
    if (bind(m_socket, reinterpret_cast<sockaddr *>(&from), sizeof from) == SOCKET_ERROR ||
        connect(m_socket, reinterpret_cast<sockaddr *>(&to), sizeof to) == SOCKET_ERROR) {
        Close();
        return false;
    }
    return true;
}

DWORD RawTcp::localAddr() const
{
    return LocalEnd(m_socket).sin_addr.s_addr;
}

int RawTcp::localPort() const
{
    return ntohs(LocalEnd(m_socket).sin_port);
}

bool RawTcp::Send(const void *data, size_t length)
{
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        int n = send(m_socket, p, static_cast<int>(length), 0);
        if (n == SOCKET_ERROR)
            return false;
        p += n;
        length -= n;
    }
    return true;
}

bool RawTcp::WaitClosed(std::vector<unsigned char> *bytes, DWORD ms)
{
    DWORD start = GetTickCount();
    char buffer[4096];
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= ms || !Readable(m_socket, ms - spent))
            return false;
        int n = recv(m_socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;  // the end of the stream, or a reset
        if (bytes != nullptr)
            bytes->insert(bytes->end(), buffer, buffer + n);
    }
}

void RawTcp::ShutdownSend()
{
    shutdown(m_socket, SD_SEND);
}

void RawTcp::Reset()
{
    linger abort = {1, 0};
    setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&abort), sizeof abort);
    Close();
}

void RawTcp::Close()
{
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

RawTcpServer::RawTcpServer(DWORD local)
{
    m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa = MakeAddress(local, 0);
    if (m_socket != INVALID_SOCKET &&
        (bind(m_socket, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == SOCKET_ERROR ||
         listen(m_socket, SOMAXCONN) == SOCKET_ERROR)) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

RawTcpServer::~RawTcpServer()
{
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
}

std::unique_ptr<RawTcp> RawTcpServer::Accept(DWORD ms)
{
    if (!Readable(m_socket, ms))
        return nullptr;
    SOCKET s = accept(m_socket, nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return nullptr;
    return std::unique_ptr<RawTcp>(new RawTcp(s));
}

int FreeTcpPort()
{
    RawTcpServer probe(INADDR_ANY);
    return probe.port();
}

bool ConnectRefused(DWORD addr, int port)
{
    RawTcp client;
    if (!client.Connect(addr, port))
        return true;
    // A connection to a port of this host in the system's range for local
    // ports may be given that very port as its own and so meet itself (TCP's
    // simultaneous open): nothing listened there.
    return client.localAddr() == addr && client.localPort() == port;
}

CutShort::CutShort(size_t readable)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_t page = info.dwPageSize;
    size_t pages = (readable + page - 1) / page + 1;
    m_base = VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    unsigned char *guard = static_cast<unsigned char *>(m_base) + (pages - 1) * page;
    DWORD old;
    VirtualProtect(guard, page, PAGE_NOACCESS, &old);
    m_start = guard - readable;
}

CutShort::~CutShort()
{
    VirtualFree(m_base, 0, MEM_RELEASE);
}

void __cdecl HeldCallback::Receive(void *, int, void *pUserData, unsigned long, int)
{
    HeldCallback *self = static_cast<HeldCallback *>(pUserData);
    InterlockedIncrement(&self->calls);
    self->entered.Open();
    // Bounded, so that a failing test cannot leave the thread held forever.
    self->release.Wait(Bound(60000));
}

bool ThreadEnds(HANDLE h, DWORD ms)
{
    bool ended = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

namespace {

DWORD WINAPI RunFunction(void *p)
{
    std::function<void()> *fn = static_cast<std::function<void()> *>(p);
    (*fn)();
    delete fn;
    return 0;
}

}  // namespace

bool ReturnsWithin(std::function<void()> fn, DWORD ms)
{
    HANDLE t = CreateThread(nullptr, 0, RunFunction, new std::function<void()>(std::move(fn)), 0, nullptr);
    if (t == nullptr)
        return false;
    bool returned = WaitForSingleObject(t, ms) == WAIT_OBJECT_0;
    CloseHandle(t);
    return returned;
}

}  // namespace kt
