// Runs the multicast transfer's state machines on POSIX sockets: one UDP
// socket joined to the group on a chosen interface (time-to-live 10, as the
// library's multicast sockets have), a poll loop that wakes for the next
// packet or the machine's next deadline, and files read and written with
// pread and pwrite. With the class key, every packet sent carries its tag and
// every packet received is checked before the machine sees it, as the DLL's
// cast sockets do.
#ifndef KESNET_POSIX_CAST_DRIVER_H
#define KESNET_POSIX_CAST_DRIVER_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auth/trailer.h"
#include "cast/cast_core.h"

namespace posixcast {

// The monotonic clock in microseconds.
cast::Micros Now();
// The wall clock in microseconds since 1970: what a sealed packet's sequence
// number is, and what a receiver weighs it against.
auth::WallMicros WallNow();

// One socket's packets under the class key. Casts are bulk data: they carry
// the class key's tag only, never the teacher's signature, even where the
// settings hold the teacher's key. Without settings packets pass as they are.
class PacketSeal {
public:
    // Keyed from now on (settings null: not); refused packets are counted in
    // *refusals. False, with *error saying why, if the system's random
    // generator gave no sender id.
    bool Key(std::shared_ptr<const auth::Settings> settings, auth::Counters *refusals, std::string *error);
    // The packet that goes to port for payload[0, size): the payload itself
    // without a key, else a sealed copy in the seal's own buffer, valid until
    // the next call. Null if it cannot be sealed (too large, or the
    // cryptography failed).
    const uint8_t *Seal(const uint8_t *payload, size_t size, uint16_t port, auth::WallMicros now, size_t *sealedSize);
    // Whether the packet bytes[0, size) that came to port is to be taken, and
    // how much of it is payload; a refused one is counted.
    bool Open(const uint8_t *bytes, size_t size, uint16_t port, auth::WallMicros now, size_t *payloadSize);

private:
    std::shared_ptr<const auth::Settings> m_settings;
    auth::Counters *m_refusals = nullptr;
    std::unique_ptr<auth::Sealer> m_sealer;
    auth::Opener m_opener;
    std::vector<uint8_t> m_buffer;  // made once: sealing allocates nothing a packet
};

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
    // Seals what it sends and opens what it receives under the class key
    // (see PacketSeal::Key).
    bool Key(std::shared_ptr<const auth::Settings> settings, auth::Counters *refusals, std::string *error)
    {
        return m_seal.Key(std::move(settings), refusals, error);
    }
    // Sends to the group, waiting while the socket's buffer is full.
    bool Send(const std::vector<uint8_t> &payload);
    // Whether a packet that came is to be taken, and its payload's size.
    bool Open(const uint8_t *bytes, size_t size, auth::WallMicros now, size_t *payloadSize)
    {
        return m_seal.Open(bytes, size, m_port, now, payloadSize);
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    uint32_t m_group = 0;
    uint16_t m_port = 0;
    PacketSeal m_seal;
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
