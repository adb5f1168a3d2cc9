#include "auth/trailer.h"

#include <string.h>

#include "common/big_endian.h"

namespace auth {

namespace {

const size_t kIdBytes = 16;  // key id, sender id, sequence number
const char kEchoWord[4] = {'E', 'c', 'h', 'o'};

// What the tag covers: the payload and the trailer up to the tag (both one
// piece, as they lie in the datagram), the destination port and the kind.
bool TagOf(const Settings &settings, const uint8_t *bytes, size_t coveredBytes, uint16_t port, uint8_t kind,
           uint8_t tag[kTagBytes])
{
    uint8_t portBytes[2];
    Store16(portBytes, port);
    Piece pieces[3] = {{bytes, coveredBytes}, {portBytes, 2}, {&kind, 1}};
    uint8_t full[kDigestBytes];
    if (!HmacSha256(settings.classKey.bytes, sizeof settings.classKey.bytes, pieces, 3, full))
        return false;
    memcpy(tag, full, kTagBytes);
    return true;
}

// What the teacher signs: the payload and the trailer's ids, the port and
// the kind.
bool SignedDigestOf(const uint8_t *bytes, size_t payloadBytes, uint16_t port, uint8_t digest[kDigestBytes])
{
    uint8_t portBytes[2];
    Store16(portBytes, port);
    uint8_t kind = kTeacherKind;
    Piece pieces[3] = {{bytes, payloadBytes + kIdBytes}, {portBytes, 2}, {&kind, 1}};
    return Sha256(pieces, 3, digest);
}

// Same bytes, in a time that does not depend on where they differ.
bool SameTag(const uint8_t *a, const uint8_t *b)
{
    uint8_t differ = 0;
    for (size_t i = 0; i < kTagBytes; ++i)
        differ |= a[i] ^ b[i];
    return differ == 0;
}

WallMicros Distance(WallMicros a, WallMicros b)
{
    return a > b ? a - b : b - a;
}

}  // namespace

std::string DescribeRefusals(const uint32_t (&counts)[kRefusalKinds])
{
    static const char *const kWords[kRefusalKinds] = {
        nullptr, "unknown sender", "bad tag", "replay", "no teacher's signature",
        "too many connections from one address"};
    std::string line;
    for (int why = 1; why < kRefusalKinds; ++why)
        if (counts[why] != 0)
            line += (line.empty() ? "" : ", ") + std::to_string(counts[why]) + " " + kWords[why];
    return line;
}

std::string Counters::Describe() const
{
    uint32_t counts[kRefusalKinds];
    for (int why = 0; why < kRefusalKinds; ++why)
        counts[why] = Of(static_cast<Refusal>(why));
    return DescribeRefusals(counts);
}

void Counters::Clear()
{
    for (std::atomic<uint32_t> &count : m_counts)
        count.store(0, std::memory_order_relaxed);
}

std::shared_ptr<Settings> Settings::ForClassKey(const ClassKey &key)
{
    std::shared_ptr<Settings> settings = std::make_shared<Settings>();
    settings->classKey = key;
    if (!KeyId(key, &settings->keyId))
        return nullptr;
    return settings;
}

size_t Sealer::Seal(const Settings &settings, uint8_t *buffer, size_t size, size_t capacity, uint16_t port,
                    WallMicros now, SealedId *sealed)
{
    bool teacher = settings.haveTeacherPrivate && !m_tagOnly;
    size_t trailerBytes = teacher ? kTeacherTrailerBytes : kClassTrailerBytes;
    if (capacity < trailerBytes || size > capacity - trailerBytes)
        return 0;
    m_last = now > m_last ? now : m_last + 1;
    uint8_t *trailer = buffer + size;
    Store32(trailer, settings.keyId);
    Store32(trailer + 4, m_sender);
    Store64(trailer + 8, m_last);
    size_t tagAt = kIdBytes;
    if (teacher) {
        uint8_t digest[kDigestBytes];
        if (!SignedDigestOf(buffer, size, port, digest) ||
            !SignDigest(settings.teacherPrivate, digest, trailer + kIdBytes))
            return 0;
        tagAt += kSignatureBytes;
    }
    uint8_t kind = teacher ? kTeacherKind : kClassKind;
    if (!TagOf(settings, buffer, size + tagAt, port, kind, trailer + tagAt))
        return 0;
    trailer[tagAt + kTagBytes] = kind;
    if (sealed != nullptr) {
        sealed->sender = m_sender;
        sealed->sequence = m_last;
    }
    return size + trailerBytes;
}

Refusal Opener::Open(const Settings &settings, const uint8_t *bytes, size_t size, uint16_t port, WallMicros now,
                     bool teacherOnly, Opened *opened)
{
    if (size < kClassTrailerBytes)
        return Refusal::kUnknownSender;
    uint8_t kind = bytes[size - 1];
    if (kind != kClassKind && kind != kTeacherKind)
        return Refusal::kUnknownSender;
    size_t trailerBytes = kind == kTeacherKind ? kTeacherTrailerBytes : kClassTrailerBytes;
    if (size < trailerBytes)
        return Refusal::kBadTag;  // a teacher's datagram cut short
    size_t payloadBytes = size - trailerBytes;
    const uint8_t *trailer = bytes + payloadBytes;
    if (Get32(trailer) != settings.keyId)
        return Refusal::kUnknownSender;
    uint32_t sender = Get32(trailer + 4);
    uint64_t sequence = Get64(trailer + 8);
    // The cheap checks come before the hash, so that a flood of recordings
    // costs no cryptography.
    if (Distance(sequence, now) > settings.maxClockDifference)
        return Refusal::kReplay;
    std::unordered_map<uint32_t, Window>::iterator known = m_windows.find(sender);
    if (known != m_windows.end() && !Fresh(known->second, sequence))
        return Refusal::kReplay;
    size_t tagAt = trailerBytes - kTagBytes - 1;
    uint8_t tag[kTagBytes];
    if (!TagOf(settings, bytes, payloadBytes + tagAt, port, kind, tag) || !SameTag(tag, trailer + tagAt))
        return Refusal::kBadTag;
    bool teacher = false;
    if (kind == kTeacherKind && settings.haveTeacherPublic) {
        uint8_t digest[kDigestBytes];
        if (!SignedDigestOf(bytes, payloadBytes, port, digest) ||
            !VerifyDigest(settings.teacherPublic, digest, trailer + kIdBytes))
            return Refusal::kNoSignature;
        teacher = true;
    }
    if (teacherOnly && !teacher)
        return Refusal::kNoSignature;
    Accept(WindowOf(sender), sequence);
    opened->payloadBytes = payloadBytes;
    opened->id.sender = sender;
    opened->id.sequence = sequence;
    opened->teacher = teacher;
    return Refusal::kNone;
}

bool Opener::Fresh(const Window &w, uint64_t sequence) const
{
    if (sequence > w.highest)
        return true;
    if (w.highest - sequence >= static_cast<uint64_t>(kWindow))
        return false;
    uint64_t bit = sequence % kWindow;
    return (w.seen[bit / 64] >> (bit % 64) & 1) == 0;
}

void Opener::Accept(Window &w, uint64_t sequence)
{
    if (sequence > w.highest) {
        // The numbers passed over were never seen: their bits are cleared.
        if (sequence - w.highest >= static_cast<uint64_t>(kWindow)) {
            memset(w.seen, 0, sizeof w.seen);
        } else {
            for (uint64_t n = w.highest + 1; n < sequence; ++n) {
                uint64_t bit = n % kWindow;
                w.seen[bit / 64] &= ~(1ull << (bit % 64));
            }
        }
        w.highest = sequence;
    }
    uint64_t bit = sequence % kWindow;
    w.seen[bit / 64] |= 1ull << (bit % 64);
    w.lastUse = ++m_uses;
}

// A new sender takes the place of the one heard from longest ago once the
// table is full: a window is made only for an authentic datagram, so only
// holders of the key can fill it.
Opener::Window &Opener::WindowOf(uint32_t sender)
{
    std::unordered_map<uint32_t, Window>::iterator known = m_windows.find(sender);
    if (known != m_windows.end())
        return known->second;
    if (m_windows.size() >= kMaxSenders) {
        std::unordered_map<uint32_t, Window>::iterator oldest = m_windows.begin();
        for (auto it = m_windows.begin(); it != m_windows.end(); ++it)
            if (it->second.lastUse < oldest->second.lastUse)
                oldest = it;
        m_windows.erase(oldest);
    }
    return m_windows[sender];
}

void MakeEchoAnswer(const SealedId &answered, uint8_t out[kEchoAnswerBytes])
{
    memcpy(out, kEchoWord, sizeof kEchoWord);
    Store32(out + 4, answered.sender);
    Store64(out + 8, answered.sequence);
}

bool ParseEchoAnswer(const uint8_t *payload, size_t size, SealedId *answered)
{
    if (size != kEchoAnswerBytes || memcmp(payload, kEchoWord, sizeof kEchoWord) != 0)
        return false;
    answered->sender = Get32(payload + 4);
    answered->sequence = Get64(payload + 8);
    return true;
}

}  // namespace auth
