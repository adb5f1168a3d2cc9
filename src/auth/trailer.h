// The authentication trailer that a datagram carries when its sender holds
// the class key. It follows the payload, so that the payload keeps its place
// and a receiver hands the host exactly what it would have without the key:
//
//   offset  size  trailer (integers in network byte order)
//   0       4     key id: which class key (another classroom's is told apart)
//   4       4     sender id: random, one per sending socket
//   8       8     sequence number: the sender's clock in microseconds since
//                 1970, raised by one whenever the clock has not moved on
//   16      64    the teacher's signature (teacher datagrams only)
//   ...     16    tag: HMAC-SHA-256, cut to 128 bits
//   last    1     kind: 0xC1 class, 0xC2 signed by the teacher
//
// The tag covers the payload, the destination port and every trailer byte
// before it, and the kind; the signature covers the same but the tag. A
// receiver accepts a sequence number only once per sender (a sliding window
// of 1024 behind the highest seen, as IPsec's), and only within the allowed
// clock difference of its own clock, so that a recording is refused however
// long ago it was made and whether or not the receiver has run since.
#ifndef KESNET_AUTH_TRAILER_H
#define KESNET_AUTH_TRAILER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "auth/keys.h"

namespace auth {

typedef uint64_t WallMicros;  // microseconds since 1970-01-01 UTC

const size_t kTagBytes = 16;
const size_t kClassTrailerBytes = 4 + 4 + 8 + kTagBytes + 1;
const size_t kTeacherTrailerBytes = kClassTrailerBytes + kSignatureBytes;
const uint8_t kClassKind = 0xC1;
const uint8_t kTeacherKind = 0xC2;
// Machines of a classroom whose clocks differ by more than this refuse each
// other's traffic (counted as replays); see Settings::maxClockDifference.
const WallMicros kDefaultClockDifference = 300ull * 1000 * 1000;

// A machine of the class rarely needs more streams to one listener at once;
// one machine can no longer take a listener's every place.
const int kDefaultPlacesPerAddress = 8;

// Why a datagram or a connection was refused.
enum class Refusal {
    kNone,
    kUnknownSender,  // no trailer, or another class key's
    kBadTag,         // the tag does not verify: changed, truncated or forged
    kReplay,         // seen before, or outside the allowed clock difference
    kNoSignature,    // marked as the teacher's without the teacher's valid signature, or
                     // not marked where only the teacher's traffic is taken
    kTooManyPlaces,  // a stream connection beyond one address's places
};
const int kRefusalKinds = 6;

// The refusals as the programs report them ("2 unknown sender, 1 replay"):
// the count of each reason that happened, in the order of Refusal; empty when
// nothing was refused. counts holds one per Refusal (kNone's is ignored).
std::string DescribeRefusals(const uint32_t (&counts)[kRefusalKinds]);

// What a process refused, and why: counted by every receiver of the process.
class Counters {
public:
    void Count(Refusal why) { m_counts[static_cast<int>(why)].fetch_add(1, std::memory_order_relaxed); }
    uint32_t Of(Refusal why) const { return m_counts[static_cast<int>(why)].load(std::memory_order_relaxed); }
    std::string Describe() const;
    void Clear();

private:
    std::atomic<uint32_t> m_counts[kRefusalKinds] = {};
};

// A process's authentication, fixed once made: a new key makes new settings.
struct Settings {
    ClassKey classKey = {};
    uint32_t keyId = 0;
    bool haveTeacherPublic = false;
    TeacherPublicKey teacherPublic = {};
    bool haveTeacherPrivate = false;  // this process is the teacher's: it signs its datagrams
    TeacherPrivateKey teacherPrivate = {};
    bool teacherOnly = false;  // listeners deliver only datagrams signed by the teacher
    WallMicros maxClockDifference = kDefaultClockDifference;
    int placesPerAddress = kDefaultPlacesPerAddress;  // a stream listener's connections from one address

    // Settings for a class key, with its id; null if the platform's hash failed.
    static std::shared_ptr<Settings> ForClassKey(const ClassKey &key);
};

// Which datagram a sealed trailer names: what an echo answers with.
struct SealedId {
    uint32_t sender = 0;
    uint64_t sequence = 0;
};

// One sending socket's side. Not thread-safe: its owner serialises Seal.
// A sealer of bulk data (tagOnly) never signs: a signature a packet would
// cost more than sending it, and the tag proves the class.
class Sealer {
public:
    explicit Sealer(uint32_t senderId, bool tagOnly = false) : m_sender(senderId), m_tagOnly(tagOnly) {}

    // Appends the trailer to the payload in buffer[0, size); capacity is the
    // buffer's size. Signs when the settings hold the teacher's private key
    // (and the sealer is not tag-only).
    // Returns the datagram's new size, 0 if it does not fit or the platform's
    // cryptography failed.
    size_t Seal(const Settings &settings, uint8_t *buffer, size_t size, size_t capacity, uint16_t port,
                WallMicros now, SealedId *sealed = nullptr);
    uint32_t SenderId() const { return m_sender; }

private:
    uint32_t m_sender;
    bool m_tagOnly;
    uint64_t m_last = 0;
};

struct Opened {
    size_t payloadBytes = 0;
    SealedId id;
    bool teacher = false;  // signed by the teacher, and the signature verified
};

// One receiving socket's side: the replay windows of the senders it heard.
// Not thread-safe: one receive thread uses it.
class Opener {
public:
    // Checks the datagram in bytes[0, size) that came to port; teacherOnly
    // refuses all but the teacher's signed datagrams. kNone: it is authentic
    // and fresh, and *opened says where its payload ends.
    Refusal Open(const Settings &settings, const uint8_t *bytes, size_t size, uint16_t port, WallMicros now,
                 bool teacherOnly, Opened *opened);

    static const int kWindow = 1024;
    static const size_t kMaxSenders = 512;

private:
    struct Window {
        uint64_t highest = 0;
        uint64_t seen[kWindow / 64] = {};  // bit (n % kWindow): highest - n was accepted
        uint64_t lastUse = 0;
    };
    bool Fresh(const Window &w, uint64_t sequence) const;
    void Accept(Window &w, uint64_t sequence);
    Window &WindowOf(uint32_t sender);

    std::unordered_map<uint32_t, Window> m_windows;
    uint64_t m_uses = 0;
};

// The echo's payload when the echo is authenticated: "Echo" and the id of
// the datagram it answers.
const size_t kEchoAnswerBytes = 4 + 4 + 8;
void MakeEchoAnswer(const SealedId &answered, uint8_t out[kEchoAnswerBytes]);
bool ParseEchoAnswer(const uint8_t *payload, size_t size, SealedId *answered);

}  // namespace auth

#endif
