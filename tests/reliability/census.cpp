#include "census.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <map>
#include <sstream>
#include <vector>

#include "traffic.h"

namespace kt {

namespace {

// The process's own handles are found by asking after each handle value in
// turn. The system-wide handle table (NtQuerySystemInformation) would list them
// at once, but Wine 8's server can crash building it while other processes come
// and go, taking every program of the prefix with it.
const ULONG kObjectTypeInformation = 2;
// Handle values are multiples of 4 and a new handle takes a low free value, so
// once this many values in a row are no handles, none follow.
const ULONG_PTR kHandleValueGap = 2048;

typedef NTSTATUS(NTAPI *QueryObject)(HANDLE, ULONG, PVOID, ULONG, PULONG);

void *NtdllFunction(const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name));
}

bool UnderWine()
{
    return NtdllFunction("wine_get_version") != nullptr;
}

std::string KindName(QueryObject query, HANDLE h)
{
    ULONG_PTR buffer[256];
    ULONG length = 0;
    if (query(h, kObjectTypeInformation, buffer, sizeof buffer, &length) != 0)
        return "?";
    const UNICODE_STRING *name = reinterpret_cast<const UNICODE_STRING *>(buffer);
    std::string narrow;
    for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i)
        narrow += static_cast<char>(name->Buffer[i]);
    return narrow;
}

bool IsSocket(HANDLE h)
{
    int type = 0;
    int length = sizeof type;
    return getsockopt(reinterpret_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type),
                      &length) == 0;
}

bool IsHandle(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

void CountHandles(Census *c)
{
    QueryObject queryObject = reinterpret_cast<QueryObject>(NtdllFunction("NtQueryObject"));
    if (queryObject == nullptr)
        return;
    c->handles = c->sockets = 0;
    ULONG_PTR misses = 0;
    for (ULONG_PTR value = 4; misses < kHandleValueGap; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        if (!IsHandle(h)) {
            ++misses;
            continue;
        }
        misses = 0;
        const std::string kind = KindName(queryObject, h);
        ++c->handles;
        ++c->kinds[kind];
        if (kind == "File" && IsSocket(h))
            ++c->sockets;
    }
}

long CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    long n = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snapshot);
    return n;
}

long long HeapBusyBytes()
{
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    if (count == 0 || count > 256)
        return -1;
    long long busy = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                busy += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

long long PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                              sizeof counters))
        return -1;
    // Wine leaves PrivateUsage at 0 and fills PagefileUsage, its equal.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// Wine opens files in its server process, so Z:\proc\self would be the
// server; the process is named by its Linux id instead.
std::string ProcPath(const std::string &rest)
{
    return "Z:\\proc\\" + std::to_string(LinuxProcessId()) + "\\" + rest;
}

long LinuxThreads()
{
    std::string status = ReadWholeFile(ProcPath("status"));
    size_t at = status.find("\nThreads:");
    if (at == std::string::npos)
        return -1;
    return atol(status.c_str() + at + 9);
}

long LinuxDescriptors()
{
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(ProcPath("fd\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    long n = 0;
    do {
        if (entry.cFileName[0] != '.')
            ++n;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return n;
}

}  // namespace

unsigned long LinuxProcessId()
{
    static const unsigned long pid = [] {
        if (!UnderWine())
            return 0ul;
        // No Windows call names the Linux process behind a Wine process; the
        // kernel does, through the system call getpid: 39 of x86_64 (a kernel
        // without a 32-bit mode has no int 0x80), 20 of i386.
        long result = 0;
#ifdef _WIN64
        __asm__ volatile("syscall" : "=a"(result) : "a"(39L) : "rcx", "r11", "memory");
#else
        __asm__ volatile("int $0x80" : "=a"(result) : "a"(20) : "memory");
#endif
        return result > 0 ? static_cast<unsigned long>(result) : 0ul;
    }();
    return pid;
}

Census Census::Take()
{
    Census c;
    // First, while the census itself holds nothing on a heap.
    c.heapBytes = HeapBusyBytes();
    c.privateBytes = PrivateBytes();
    CountHandles(&c);
    c.threads = CountThreads();
    if (LinuxProcessId() != 0) {
        c.linuxThreads = LinuxThreads();
        c.linuxFds = LinuxDescriptors();
    }
    return c;
}

std::string Census::Describe() const
{
    std::ostringstream s;
    s << "handles " << handles << " (sockets " << sockets;
    for (const auto &kind : kinds)
        s << ", " << kind.first << " " << kind.second;
    s << "), threads " << threads << " (Linux " << linuxThreads << "), Linux descriptors "
      << linuxFds << ", heap " << heapBytes << " bytes, private " << privateBytes << " bytes";
    return s.str();
}

::testing::AssertionResult NothingHeldBeyond(const Census &before, const Census &after, const MemorySlack &slack)
{
    struct Count {
        std::string what;
        long long before, after, slack;
    };
    std::vector<Count> counts = {
        {"handles", before.handles, after.handles, 0},
        {"sockets", before.sockets, after.sockets, 0},
        {"threads", before.threads, after.threads, 0},
        {"Linux threads", before.linuxThreads, after.linuxThreads, 0},
        {"Linux descriptors", before.linuxFds, after.linuxFds, 0},
        {"heap bytes", before.heapBytes, after.heapBytes, slack.heapBytes},
        {"private bytes", before.privateBytes, after.privateBytes, slack.privateBytes},
    };
    for (const auto &kind : after.kinds) {
        auto was = before.kinds.find(kind.first);
        counts.push_back({kind.first + " handles", was != before.kinds.end() ? was->second : 0, kind.second, 0});
    }
    std::ostringstream grown;
    for (const Count &c : counts) {
        if (c.before < 0 || c.after < 0)
            continue;  // not counted on this platform
        if (c.after - c.before > c.slack)
            grown << " " << c.what << " +" << (c.after - c.before) << ";";
    }
    if (grown.str().empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "still held:" << grown.str() << "\n  before: " << before.Describe()
                                         << "\n  after:  " << after.Describe();
}

::testing::AssertionResult SettlesBackTo(const Census &before, const MemorySlack &slack, DWORD ms)
{
    // Nothing signals when an ended thread has left the system's lists.
    ::testing::AssertionResult held = ::testing::AssertionSuccess();
    PollUntil(
        [&] {
            held = NothingHeldBeyond(before, Census::Take(), slack);
            return static_cast<bool>(held);
        },
        ms);
    return held;
}

}  // namespace kt
