// What the sender's and the receiver's state machines share with the code
// that drives them: the time (a monotonic count of microseconds that the
// driver passes in), the packets they give out, and the byte stores of an
// object. No socket, thread, clock or file is in here: a driver owns those.
#ifndef KESNET_CAST_CAST_CORE_H
#define KESNET_CAST_CAST_CORE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

namespace cast {

typedef uint64_t Micros;
const Micros kNever = ~0ull;

// A packet to send to the group (every packet of a transfer goes there: the
// receivers hear each other's repair requests, which keeps them quiet).
struct Outgoing {
    std::vector<uint8_t> bytes;
};

// Where a sender reads the object. false: the bytes cannot be read.
class Source {
public:
    virtual ~Source() {}
    virtual bool Read(uint64_t offset, uint8_t *to, size_t bytes) = 0;
};

// Where a receiver puts it. Begin comes first, with the object's size; End
// last, saying whether every byte arrived. Read gives back what Write wrote
// (blocks are rebuilt from those that came and the repairs).
class Sink {
public:
    virtual ~Sink() {}
    virtual bool Begin(uint64_t size) = 0;
    virtual bool Write(uint64_t offset, const uint8_t *from, size_t bytes) = 0;
    virtual bool Read(uint64_t offset, uint8_t *to, size_t bytes) = 0;
    virtual void End(bool complete) = 0;
};

// The teacher's word on an object: a sender that can sign attests the
// object's start and the digest of each of its groups; a receiver that can
// verify takes an attested object only with the bytes the teacher signed. The
// machines only ask; the cryptography and the keys are the platform's. The
// answers may change between two calls (keys given or taken away).
class Attestor {
public:
    virtual ~Attestor() {}
    virtual bool CanSign() = 0;
    virtual bool CanVerify() = 0;
    // Where only the teacher's objects are taken.
    virtual bool TeachersOnly() = 0;
    // SHA-256. false: the cryptography failed.
    virtual bool Digest(const uint8_t *bytes, size_t size, uint8_t digest[32]) = 0;
    // Signs the SHA-256 of bytes[0, size) into signature (64 bytes).
    virtual bool Sign(const uint8_t *bytes, size_t size, uint8_t signature[64]) = 0;
    virtual bool Verify(const uint8_t *bytes, size_t size, const uint8_t signature[64]) = 0;
    // The wall clock (microseconds since 1970) an attestation is dated by, and
    // whether a date is close enough to it that it is no recording.
    virtual uint64_t WallNow() = 0;
    virtual bool Recent(uint64_t signedAt) = 0;
    // Told of each attestation or group refused: a bad signature, an old
    // date, bytes not those the teacher signed.
    virtual void Refused(bool replay) = 0;
};

// Hands over what a state machine gathered (packets, events), leaving it none.
template <typename T>
std::vector<T> TakeAll(std::vector<T> &gathered)
{
    std::vector<T> taken;
    taken.swap(gathered);
    return taken;
}

// Paces a sender: a token bucket of bytes, filled at the rate up to a burst.
class Pacer {
public:
    Pacer(double rate, size_t burst) : m_rate(rate), m_burst(static_cast<double>(burst)) {}
    void Refill(Micros now)
    {
        if (now > m_last) {
            m_tokens = m_tokens + m_rate * static_cast<double>(now - m_last) / 1e6;
            if (m_tokens > m_burst)
                m_tokens = m_burst;
        }
        if (now > m_last || m_last == 0)
            m_last = now;
    }
    bool Ready() const { return m_tokens >= 0; }
    void Spend(size_t bytes) { m_tokens -= static_cast<double>(bytes); }
    // When Ready() will hold again.
    Micros ReadyAt() const { return m_tokens >= 0 ? m_last : m_last + static_cast<Micros>(-m_tokens * 1e6 / m_rate) + 1; }
    Micros Last() const { return m_last; }
    double Rate() const { return m_rate; }
    void SetRate(double rate) { m_rate = rate; }

private:
    double m_rate;
    double m_burst;
    double m_tokens = 0;
    Micros m_last = 0;
};

// IPv4 and UDP headers: what a packet costs on the wire beyond its bytes.
const size_t kWireOverhead = 28;

// A small, seeded generator: the state machines draw their random back-offs
// from it, so that a simulated run repeats exactly.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    // Uniform in [0, bound).
    uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

private:
    uint64_t m_state;
};

}  // namespace cast

#endif
