// Runs the multicast transfer's state machines on POSIX sockets: one UDP
// socket joined to the group on a chosen interface (time-to-live 10, as the
// library's multicast sockets have), a poll loop that wakes for the next
// packet or the machine's next deadline, and files read and written with
// pread and pwrite.
#ifndef KESNET_POSIX_CAST_DRIVER_H
#define KESNET_POSIX_CAST_DRIVER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "cast/cast_core.h"

namespace posixcast {

// The monotonic clock in microseconds.
cast::Micros Now();

class GroupSocket {
public:
    GroupSocket() = default;
    ~GroupSocket();
    GroupSocket(const GroupSocket &) = delete;
    GroupSocket &operator=(const GroupSocket &) = delete;

    // group and local in network byte order (local 0: the system's choice of
    // interface); false, with *error saying why, if it cannot be set up. A
    // socket that does not hear its own datagrams (a sender's: hearOwn false)
    // is spared reading every packet it sent back from the group's loopback.
    bool Open(uint32_t group, uint16_t port, uint32_t local, bool hearOwn, std::string *error);
    // Sends to the group, waiting while the socket's buffer is full.
    bool Send(const std::vector<uint8_t> &bytes);
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    uint32_t m_group = 0;
    uint16_t m_port = 0;
};

// What the loop needs of a state machine.
struct Machine {
    std::function<void(const uint8_t *, size_t, cast::Micros)> onPacket;
    std::function<void(cast::Micros)> poll;
    std::function<cast::Micros()> nextWakeUp;
    std::function<std::vector<cast::Outgoing>()> takeOutgoing;
    std::function<bool(cast::Micros now, cast::Micros lastPacket)> done;
};

// Runs the machine until done() says so (true) or until limit (false).
bool RunUntilDone(GroupSocket &socket, const Machine &machine, cast::Micros limit);

// The loop's view of a sender or a receiver.
template <typename Core>
Machine MachineOf(Core &core, std::function<bool(cast::Micros now, cast::Micros lastPacket)> done)
{
    Machine machine;
    machine.onPacket = [&core](const uint8_t *bytes, size_t n, cast::Micros now) { core.OnPacket(bytes, n, now); };
    machine.poll = [&core](cast::Micros now) { core.Poll(now); };
    machine.nextWakeUp = [&core] { return core.NextWakeUp(); };
    machine.takeOutgoing = [&core] { return core.TakeOutgoing(); };
    machine.done = std::move(done);
    return machine;
}

class FileSource : public cast::Source {
public:
    explicit FileSource(int fd) : m_fd(fd) {}
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;

private:
    int m_fd;
};

// Blocks mostly come in order: consecutive ones are gathered and written
// together, a write a quarter of a megabyte instead of one a block.
class FileSink : public cast::Sink {
public:
    explicit FileSink(int fd) : m_fd(fd) {}
    bool Begin(uint64_t size) override;
    bool Write(uint64_t offset, const uint8_t *from, size_t bytes) override;
    bool Read(uint64_t offset, uint8_t *to, size_t bytes) override;
    void End(bool complete) override;
    bool complete() const { return m_complete; }

private:
    bool Flush();

    int m_fd;
    bool m_complete = false;
    std::vector<uint8_t> m_pending;  // bytes from m_pendingAt on, not yet written
    uint64_t m_pendingAt = 0;
};

}  // namespace posixcast

#endif
