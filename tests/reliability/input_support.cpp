#include "input_support.h"

#include "datagram/udp_socket.h"

#include <string.h>

#include <algorithm>

namespace kr {

namespace {

DWORD PageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

}  // namespace

BadMemory::~BadMemory()
{
    for (void *region : m_regions)
        VirtualFree(region, 0, MEM_RELEASE);
}

BYTE *BadMemory::Reserve(size_t pages, DWORD protect)
{
    void *region = VirtualAlloc(nullptr, pages * PageSize(), MEM_COMMIT | MEM_RESERVE, protect);
    if (region == nullptr)
        throw std::bad_alloc();
    m_regions.push_back(region);
    return static_cast<BYTE *>(region);
}

void *BadMemory::NoAccess()
{
    return Reserve(1, PAGE_NOACCESS);
}

BYTE *BadMemory::Tail(size_t n, BYTE fill)
{
    DWORD page = PageSize();
    size_t usablePages = (n + page - 1) / page;
    BYTE *base = Reserve(usablePages + 1, PAGE_READWRITE);
    BYTE *end = base + usablePages * page;
    DWORD old;
    VirtualProtect(end, page, PAGE_NOACCESS, &old);
    memset(end - n, fill, n);
    return end - n;
}

void *BadMemory::ReadOnly(const void *p, size_t n)
{
    DWORD page = PageSize();
    size_t pages = (n + page - 1) / page;
    BYTE *base = Reserve(pages > 0 ? pages : 1, PAGE_READWRITE);
    memcpy(base, p, n);
    DWORD old;
    VirtualProtect(base, pages * page, PAGE_READONLY, &old);
    return base;
}

ReceiveProc BadMemory::DataAsCode()
{
    BYTE *page = Reserve(1, PAGE_READWRITE);
    memset(page, 0xCC, PageSize());  // int3
    return reinterpret_cast<ReceiveProc>(page);
}

ReceiveProc BadMemory::NoAccessCode()
{
    return reinterpret_cast<ReceiveProc>(NoAccess());
}

Guarded::Guarded(size_t n) : m_size(n), m_bytes(kGuard + n + kGuard, kGuardByte)
{
    memset(&m_bytes[kGuard], kFill, n);
}

bool Guarded::GuardsIntact() const
{
    auto isGuard = [](BYTE b) { return b == kGuardByte; };
    return std::all_of(m_bytes.begin(), m_bytes.begin() + kGuard, isGuard) &&
           std::all_of(m_bytes.end() - kGuard, m_bytes.end(), isGuard);
}

bool Guarded::Untouched() const
{
    return std::all_of(m_bytes.begin() + kGuard, m_bytes.end() - kGuard, [](BYTE b) { return b == kFill; });
}

std::string Guarded::Text() const
{
    const char *start = reinterpret_cast<const char *>(&m_bytes[kGuard]);
    return std::string(start, strnlen(start, m_size));
}

void ExpectRows(const std::vector<kt::Row> &rows, const std::vector<std::shared_ptr<Guarded>> &guarded)
{
    std::vector<kt::Row::Check> guards;
    for (const std::shared_ptr<Guarded> &buffer : guarded)
        guards.push_back([buffer] { return kt::Holds(buffer->GuardsIntact(), "a byte beside an output buffer was written"); });
    kt::ExpectRows(rows, guards);
}

bool NothingArrived(kt::RawUdp &receiver)
{
    static const char kSentinel[] = "sentinel";
    kt::RawUdp sentinel;
    kt::Datagram next;
    return sentinel.SendTo(kSentinel, sizeof kSentinel, kt::Loopback(), receiver.port()) &&
           receiver.Receive(&next) && kt::Text(next) == std::string(kSentinel, sizeof kSentinel);
}

std::vector<DWORD> LoopbackAddresses(int n)
{
    std::vector<DWORD> addrs;
    for (int i = 1; i <= n; ++i)
        addrs.push_back(kt::Addr(("127.0.0." + std::to_string(i)).c_str()));
    return addrs;
}

tagParamListen ListenRecord(ReceiveProc proc, void *pUserData, int nPort, DWORD dwLocalAddr)
{
    tagParamListen record;
    record.dwLocalAddr = dwLocalAddr;
    record.nPort = nPort;
    record.pfnReceive = proc;
    record.pUserData = pUserData;
    return record;
}

tagParamListen3 Listen3Record(ReceiveProc proc, void *pUserData, int nPort, int nCount,
                              const std::vector<DWORD> &locals)
{
    tagParamListen3 record;
    record.nPort = nPort;
    std::copy(locals.begin(), locals.begin() + std::min<size_t>(locals.size(), 8), record.dwLocalAddr);
    record.nCount = nCount;
    record.pfnReceive = proc;
    record.pUserData = pUserData;
    return record;
}

tagParamSend SendRecord(int nDestPort, DWORD dwLocalAddr)
{
    tagParamSend record;
    record.dwLocalAddr = dwLocalAddr;
    record.dwDestAddr = kt::Loopback();
    record.nDestPort = nDestPort;
    return record;
}

tagParamSend3 Send3Record(int nDestPort, int nCount)
{
    tagParamSend3 record;
    std::vector<DWORD> locals = LoopbackAddresses();
    std::copy(locals.begin(), locals.end(), record.dwLocalAddr);
    record.nCount = nCount;
    record.dwDestAddr = kt::Loopback();
    record.nDestPort = nDestPort;
    return record;
}

EchoingListener::EchoingListener()
{
    tagParamListen record = ListenRecord(kt::Collector::Receive, &seen);
    record.bEcho = TRUE;
    if (m_listener.InitInstance(&record))
        m_port = kt::BoundPort(m_listener.m_pSocket->GetSocket());
}

std::string ProgramFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, n);
    return folder.substr(0, folder.rfind('\\') + 1);
}

bool BindsForeignAddress(int type)
{
    SOCKET s = socket(AF_INET, type, 0);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ForeignAddress();
    bool bound = bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
    closesocket(s);
    return bound;
}

}  // namespace kr
