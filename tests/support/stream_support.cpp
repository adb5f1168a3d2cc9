#include "stream_support.h"

#include <string.h>

namespace kt {

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
    sockaddr_in from = SocketAddress(local, 0);
    sockaddr_in to = SocketAddress(addr, port);
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
    sockaddr_in sa = SocketAddress(local, 0);
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
