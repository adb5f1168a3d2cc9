#include "win/cast_platform.h"

#include <ws2tcpip.h>

#include <new>

#include "datagram/open_socket.h"
#include "datagram/udp_socket.h"

namespace wincast {

namespace {

// Room for a burst of the sender's and for what arrives while the thread is
// in a callback or rebuilding a group.
const int kSocketBufferBytes = 4 * 1024 * 1024;
const int kFullBufferWaits = 20;
const long kFullBufferWaitMicros = 50000;

bool Whole(BOOL (*io)(HANDLE, void *, DWORD, uint64_t), HANDLE file, uint8_t *bytes, size_t n, uint64_t offset)
{
    while (n > 0) {
        DWORD piece = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
        if (!io(file, bytes, piece, offset))
            return false;
        bytes += piece;
        n -= piece;
        offset += piece;
    }
    return true;
}

OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

BOOL ReadAt(HANDLE file, void *bytes, DWORD n, uint64_t offset)
{
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    return ReadFile(file, bytes, n, &done, &at) && done == n;
}

BOOL WriteAt(HANDLE file, void *bytes, DWORD n, uint64_t offset)
{
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    return WriteFile(file, bytes, n, &done, &at) && done == n;
}

std::string InFolder(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    char last = folder[folder.size() - 1];
    return last == '\\' || last == '/' ? folder + name : folder + "\\" + name;
}

}  // namespace

cast::Micros Now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const uint64_t ticks = static_cast<uint64_t>(count.QuadPart), hz = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / hz * 1000000 + ticks % hz * 1000000 / hz;
}

CUdpSocket *OpenGroupSocket(DWORD group, int port, DWORD local, bool hearOwn)
{
    CUdpSocket *socket = new (std::nothrow) CUdpSocket;
    if (socket == nullptr)
        return nullptr;
    socket->MarkBulk();
    bool open = socket->Create(port, 0) != 0;
    // Bound to any address, the group is still joined, and sent to, on local.
    socket->m_dwInterface = local;
    open = open && socket->JoinGroup(group) && socket->SelectEvents(FD_READ);
    if (open) {
        socket->SetRecvBuf(kSocketBufferBytes);
        socket->SetSendBuf(kSocketBufferBytes);
        DWORD loop = hearOwn ? 1 : 0;
        setsockopt(socket->GetSocket(), IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char *>(&loop),
                   sizeof loop);
        return socket;
    }
    const int error = WSAGetLastError();
    CloseDatagramSocket(socket);
    WSASetLastError(error);
    return nullptr;
}

bool SendToGroup(CUdpSocket *socket, DWORD group, int port, const std::vector<uint8_t> &bytes)
{
    for (int attempt = 0; attempt <= kFullBufferWaits; ++attempt) {
        if (socket->SendTo(bytes.data(), static_cast<DWORD>(bytes.size()), group, port))
            return true;
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        fd_set room;
        FD_ZERO(&room);
        FD_SET(socket->GetSocket(), &room);
        timeval wait = {0, kFullBufferWaitMicros};
        select(0, nullptr, &room, nullptr, &wait);
    }
    return false;
}

FileSource::FileSource(const char *path)
    : m_file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
{
    LARGE_INTEGER size;
    if (m_file != INVALID_HANDLE_VALUE && GetFileSizeEx(m_file, &size))
        m_size = static_cast<uint64_t>(size.QuadPart);
}

FileSource::~FileSource()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
}

bool FileSource::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    return Whole(ReadAt, m_file, to, bytes, offset);
}

bool BufferSource::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    if (offset > m_length || bytes > m_length - offset)
        return false;
    memcpy(to, m_bytes + offset, bytes);
    return true;
}

FileSink::~FileSink()
{
    Discard();
}

void FileSink::Discard()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
    if (!m_partPath.empty())
        DeleteFileA(m_partPath.c_str());
    m_partPath.clear();
    m_whole = false;
}

bool FileSink::Begin(uint64_t size)
{
    Discard();
    static volatile LONG s_count;
    char part[64];
    wsprintfA(part, "kesnet-cast-%lu-%ld.part", GetCurrentProcessId(), InterlockedIncrement(&s_count));
    m_partPath = InFolder(m_folder, part);
    m_file = CreateFileA(m_partPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (m_file == INVALID_HANDLE_VALUE || !SetFilePointerEx(m_file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(m_file)) {
        Discard();
        refusals.Note(size);
        return false;
    }
    refusals.Clear();
    return true;
}

bool FileSink::Write(uint64_t offset, const uint8_t *from, size_t bytes)
{
    return Whole(WriteAt, m_file, const_cast<uint8_t *>(from), bytes, offset);
}

bool FileSink::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    return Whole(ReadAt, m_file, to, bytes, offset);
}

void FileSink::End(bool complete)
{
    if (!complete) {
        Discard();
        return;
    }
    m_whole = true;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

std::string FileSink::Keep(const std::string &name)
{
    if (!m_whole)
        return std::string();
    const std::string path = InFolder(m_folder, name);
    if (!MoveFileExA(m_partPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return std::string();
    m_partPath.clear();
    m_whole = false;
    return path;
}

bool MemorySink::Begin(uint64_t size)
{
    try {
        if (size > kMaxBytes)
            throw std::bad_alloc();
        m_bytes.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc &) {
        std::vector<uint8_t>().swap(m_bytes);
        refusals.Note(size);
        return false;
    }
    refusals.Clear();
    return true;
}

bool MemorySink::Write(uint64_t offset, const uint8_t *from, size_t bytes)
{
    if (offset > m_bytes.size() || bytes > m_bytes.size() - offset)
        return false;
    memcpy(&m_bytes[static_cast<size_t>(offset)], from, bytes);
    return true;
}

bool MemorySink::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    if (offset > m_bytes.size() || bytes > m_bytes.size() - offset)
        return false;
    memcpy(to, &m_bytes[static_cast<size_t>(offset)], bytes);
    return true;
}

std::vector<uint8_t> MemorySink::Take()
{
    std::vector<uint8_t> taken;
    taken.swap(m_bytes);
    return taken;
}

}  // namespace wincast
