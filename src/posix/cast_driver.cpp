#include "posix/cast_driver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/uio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/big_endian.h"

namespace posixcast {

namespace {

const int kTimeToLive = 10;
const int kSocketBuffer = 4 * 1024 * 1024;
const cast::Micros kLongestSleep = 100000;
const size_t kLargestDatagram = 65507;  // UDP's, over IPv4

bool Fail(std::string *error, const char *what)
{
    *error = std::string(what) + ": " + strerror(errno);
    return false;
}

bool WholeIo(ssize_t (*io)(int, void *, size_t, off_t), int fd, uint8_t *bytes, size_t n, uint64_t offset)
{
    while (n > 0) {
        ssize_t done = io(fd, bytes, n, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        n -= static_cast<size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return true;
}

ssize_t WriteAt(int fd, void *bytes, size_t n, off_t offset)
{
    return pwrite(fd, bytes, n, offset);
}

}  // namespace

cast::Micros Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<cast::Micros>(t.tv_sec) * 1000000 + static_cast<cast::Micros>(t.tv_nsec) / 1000;
}

auth::WallMicros WallNow()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    if (t.tv_sec < 0)
        return 0;
    return static_cast<auth::WallMicros>(t.tv_sec) * 1000000 + static_cast<auth::WallMicros>(t.tv_nsec) / 1000;
}

bool PacketSeal::Key(std::shared_ptr<const auth::Settings> settings, auth::Counters *refusals, std::string *error)
{
    m_settings = std::move(settings);
    m_refusals = refusals;
    m_sealer.reset();
    m_opener = auth::Opener();
    if (m_settings == nullptr)
        return true;
    uint8_t id[4];
    if (!auth::RandomBytes(id, sizeof id)) {
        m_settings = nullptr;
        *error = "the system's random generator failed";
        return false;
    }
    m_sealer.reset(new auth::Sealer(Get32(id), /*tagOnly=*/true));
    m_buffer.resize(kLargestDatagram);
    return true;
}

const uint8_t *PacketSeal::Seal(const uint8_t *payload, size_t size, uint16_t port, auth::WallMicros now,
                                size_t *sealedSize)
{
    if (m_settings == nullptr) {
        *sealedSize = size;
        return payload;
    }
    if (size > m_buffer.size())
        return nullptr;
    if (size != 0)
        memcpy(m_buffer.data(), payload, size);
    *sealedSize = m_sealer->Seal(*m_settings, m_buffer.data(), size, m_buffer.size(), port, now);
    return *sealedSize != 0 ? m_buffer.data() : nullptr;
}

bool PacketSeal::Open(const uint8_t *bytes, size_t size, uint16_t port, auth::WallMicros now, size_t *payloadSize)
{
    if (m_settings == nullptr) {
        *payloadSize = size;
        return true;
    }
    auth::Opened opened;
    auth::Refusal why = m_opener.Open(*m_settings, bytes, size, port, now, /*teacherOnly=*/false, &opened);
    if (why != auth::Refusal::kNone) {
        m_refusals->Count(why);
        return false;
    }
    *payloadSize = opened.payloadBytes;
    return true;
}

GroupSocket::~GroupSocket()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool GroupSocket::Open(uint32_t group, uint16_t port, uint32_t local, bool hearOwn, std::string *error)
{
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return Fail(error, "socket");
    int one = 1;
    if (setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return Fail(error, "SO_REUSEADDR");
    // Large buffers ride out the moments the loop is busy with a block.
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    // Bound to any address: Linux delivers a group's datagrams only to
    // sockets bound to the group or to any address.
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (bind(m_fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0)
        return Fail(error, "bind");
    ip_mreq join = {};
    join.imr_multiaddr.s_addr = group;
    join.imr_interface.s_addr = local;
    if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        return Fail(error, "joining the group");
    in_addr through = {};
    through.s_addr = local;
    if (local != 0 && setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) != 0)
        return Fail(error, "IP_MULTICAST_IF");
    if (setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &kTimeToLive, sizeof kTimeToLive) != 0)
        return Fail(error, "IP_MULTICAST_TTL");
    // Receivers on one host hear each other's repair requests through the
    // loopback of the group.
    int loop = hearOwn ? 1 : 0;
    if (setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        return Fail(error, "IP_MULTICAST_LOOP");
    m_group = group;
    m_port = port;
    return true;
}

bool GroupSocket::Send(const std::vector<uint8_t> &payload)
{
    size_t size = 0;
    const uint8_t *bytes = m_seal.Seal(payload.data(), payload.size(), m_port, WallNow(), &size);
    if (bytes == nullptr)
        return false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = m_group;
    for (;;) {
        ssize_t sent = sendto(m_fd, bytes, size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (sent == static_cast<ssize_t>(size))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room = {m_fd, POLLOUT, 0};
            poll(&room, 1, 100);
            continue;
        }
        return false;
    }
}

namespace {

// Datagrams read with one call: at a class's rate a loop wakes to several.
const unsigned kBatch = 64;
const size_t kSlotBytes = 9216;  // more than any packet of the protocol

class Batch {
public:
    Batch() : m_bytes(kBatch * kSlotBytes)
    {
        for (unsigned i = 0; i < kBatch; ++i) {
            m_iov[i] = {&m_bytes[i * kSlotBytes], kSlotBytes};
            m_headers[i] = {};
            m_headers[i].msg_hdr.msg_iov = &m_iov[i];
            m_headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
    // How many came (0: none waiting).
    unsigned Receive(int fd)
    {
        int n = recvmmsg(fd, m_headers, kBatch, MSG_DONTWAIT, nullptr);
        return n > 0 ? static_cast<unsigned>(n) : 0;
    }
    const uint8_t *Bytes(unsigned i) const { return &m_bytes[i * kSlotBytes]; }
    // A datagram cut to its slot (MSG_TRUNC) keeps its own length and is refused by the parser.
    size_t Length(unsigned i) const
    {
        return (m_headers[i].msg_hdr.msg_flags & MSG_TRUNC) ? kSlotBytes + 1 : m_headers[i].msg_len;
    }

private:
    std::vector<uint8_t> m_bytes;
    iovec m_iov[kBatch];
    mmsghdr m_headers[kBatch];
};

}  // namespace

bool RunUntilDone(GroupSocket &socket, const Machine &machine, cast::Micros limit)
{
    Batch batch;
    cast::Micros lastPacket = Now();
    for (;;) {
        cast::Micros now = Now();
        if (machine.done(now, lastPacket))
            return true;
        if (now >= limit)
            return false;
        machine.poll(now);
        for (const cast::Outgoing &packet : machine.takeOutgoing())
            socket.Send(packet.bytes);
        cast::Micros wake = machine.nextWakeUp();
        now = Now();
        cast::Micros sleep = wake == cast::kNever ? kLongestSleep : (wake > now ? wake - now : 0);
        sleep = std::min(sleep, kLongestSleep);
        pollfd in = {socket.fd(), POLLIN, 0};
        timespec wait = {static_cast<time_t>(sleep / 1000000), static_cast<long>(sleep % 1000000) * 1000};
        ppoll(&in, 1, &wait, nullptr);
        for (unsigned n; (n = batch.Receive(socket.fd())) != 0;) {
            const cast::Micros came = Now();
            const auth::WallMicros wall = WallNow();
            for (unsigned i = 0; i < n; ++i) {
                const size_t length = batch.Length(i);
                size_t payload = 0;
                // Refused packets wake nothing: they do not keep a receiver waiting.
                if (!socket.Open(batch.Bytes(i), length > kSlotBytes ? 0 : length, wall, &payload))
                    continue;
                lastPacket = came;
                machine.onPacket(batch.Bytes(i), payload, came);
            }
            for (const cast::Outgoing &packet : machine.takeOutgoing())
                socket.Send(packet.bytes);
        }
    }
}

bool FileSource::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    return WholeIo(pread, m_fd, to, bytes, offset);
}

const size_t kGatherBytes = 256 * 1024;

bool FileSink::Begin(uint64_t size)
{
    m_complete = false;
    m_pending.clear();
    return ftruncate(m_fd, 0) == 0 && ftruncate(m_fd, static_cast<off_t>(size)) == 0;
}

bool FileSink::Flush()
{
    bool ok = WholeIo(WriteAt, m_fd, m_pending.data(), m_pending.size(), m_pendingAt);
    m_pending.clear();
    return ok;
}

bool FileSink::Write(uint64_t offset, const uint8_t *from, size_t bytes)
{
    if (!m_pending.empty() && (offset != m_pendingAt + m_pending.size() || m_pending.size() + bytes > kGatherBytes) &&
        !Flush())
        return false;
    if (m_pending.empty())
        m_pendingAt = offset;
    m_pending.insert(m_pending.end(), from, from + bytes);
    return true;
}

bool FileSink::Read(uint64_t offset, uint8_t *to, size_t bytes)
{
    return Flush() && WholeIo(pread, m_fd, to, bytes, offset);
}

void FileSink::End(bool complete)
{
    bool written = Flush();
    m_complete = complete && written;
    if (m_complete)
        fsync(m_fd);
}

}  // namespace posixcast
