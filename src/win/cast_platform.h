// What the multicast transfer's state machines need of Windows: a clock, the
// group's socket, and files read and written at any offset (the transfers
// are not in order, and objects may exceed 4 GiB).
#ifndef KESNET_WIN_CAST_PLATFORM_H
#define KESNET_WIN_CAST_PLATFORM_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "cast/cast_core.h"

class CUdpSocket;

namespace wincast {

// The performance counter in microseconds.
cast::Micros Now();

// A socket bound to the group's port on any address (Linux, and so Wine,
// gives a group's datagrams only to those), joined to the group on local
// (0: the system's choice) and sending through it with the library's
// multicast time to live; large buffers, and its network event tied to
// incoming datagrams. A sender's socket (hearOwn false) does not hear its own
// datagrams back from the group: reading each again would cost it as much as
// sending it. Null if a step fails (WSAGetLastError says which).
CUdpSocket *OpenGroupSocket(DWORD group, int port, DWORD local, bool hearOwn);

// Sends to the group, waiting a little while the socket's buffer is full. A
// datagram that still cannot go is given up: the transfer repairs it.
bool SendToGroup(CUdpSocket *socket, DWORD group, int port, const std::vector<uint8_t> &bytes);

// A file opened for reading, with its size. Null handle: it cannot be read.
class FileSource : public cast::Source {
public:
    explicit FileSource(const char *path);
    ~FileSource() override;
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    bool Open() const { return m_file != INVALID_HANDLE_VALUE; }
    uint64_t Size() const { return m_size; }
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;

private:
    HANDLE m_file;
    uint64_t m_size = 0;
};

// Bytes of the host's, sent from where they are.
class BufferSource : public cast::Source {
public:
    BufferSource(const void *bytes, size_t length) : m_bytes(static_cast<const uint8_t *>(bytes)), m_length(length) {}
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;

private:
    const uint8_t *m_bytes;
    size_t m_length;
};

// Objects a sink could not take (no room in memory, no file in the folder):
// the receiver asks again at every packet of such an object, the host is
// told once.
class Refusals {
public:
    void Note(uint64_t size)
    {
        m_fresh = m_fresh || size != m_size;
        m_size = size;
    }
    // true once for each new refusal, with the object's size.
    bool Take(uint64_t *size)
    {
        *size = m_size;
        bool fresh = m_fresh;
        m_fresh = false;
        return fresh;
    }
    void Clear() { m_size = 0; }

private:
    uint64_t m_size = 0;
    bool m_fresh = false;
};

// An object received into a file of its own in a folder, under a name that
// says it is not whole yet; Keep gives it its final name once it is.
class FileSink : public cast::Sink {
public:
    explicit FileSink(const std::string &folder) : m_folder(folder) {}
    ~FileSink() override;
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;
    bool Begin(uint64_t size) override;
    bool Write(uint64_t offset, const uint8_t *from, size_t bytes) override;
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;
    void End(bool complete) override;
    // Renames the whole object's file to name in the folder (replacing a file
    // of that name) and returns its path; "" if it cannot.
    std::string Keep(const std::string &name);
    Refusals refusals;

private:
    void Discard();

    std::string m_folder;
    std::string m_partPath;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    bool m_whole = false;
};

// An object received into memory, up to kMaxBytes.
class MemorySink : public cast::Sink {
public:
    static const uint64_t kMaxBytes = 1ull << 30;
    bool Begin(uint64_t size) override;
    bool Write(uint64_t offset, const uint8_t *from, size_t bytes) override;
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;
    void End(bool) override {}
    std::vector<uint8_t> Take();
    Refusals refusals;

private:
    std::vector<uint8_t> m_bytes;
};

}  // namespace wincast

#endif
