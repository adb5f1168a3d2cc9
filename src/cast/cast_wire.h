// The packets of a multicast transfer ("cast") as bytes on the wire: every
// integer in network byte order, every packet starting with the same header.
// Parse refuses whatever is not exactly one of them: a foreign, truncated or
// garbled packet is ignored, never trusted.
//
//   offset  size  header
//   0       2     magic "KC"
//   2       1     version (1)
//   3       1     type
//   4       4     session: the sender's, new at every start
//   8       4     object (or stream) number within the session
//   12      1     flags (none yet; a later trailer announces itself here)
//   13      3     0
#ifndef KESNET_CAST_CAST_WIRE_H
#define KESNET_CAST_CAST_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "cast/cast_core.h"

namespace cast {

enum PacketType : uint8_t {
    kData = 1,      // sender: a data or parity block of an object
    kAnnounce = 2,  // sender: the object, and how far its first pass has come
    kNack = 3,      // receiver: the groups it still lacks blocks of
    kStatus = 4,    // receiver: here, and how far it has come
    // A live stream's packets. A message is sent as an object of its own, of
    // one group: a stream data packet is laid out as a data packet, with the
    // message's number where an object's number stands.
    kStreamData = 5,
    kStreamHead = 6,  // stream sender: the next message's number, and the oldest it can still repair
    // The teacher's word on an object, signed: its shape and name (what
    // starts the transfer), and the digests of a run of its groups.
    kAttest = 7,
    // The teacher's word on a live stream, signed: the digests of a run of
    // its messages.
    kStreamAttest = 8,
};

const size_t kHeaderBytes = 16;
const size_t kDataHeaderBytes = 32;
const size_t kNackEntryBytes = 8;
const size_t kMaxNackEntries = 128;
// An attestation:
//   16  shape (size 8, block size 2, blocks a group 1)
//   27  name length (1)
//   28  first group attested (4)
//   32  digests (1), 0 (3)
//   36  when it was signed: the sender's wall clock, microseconds since 1970 (8)
//   44  name, digests (SHA-256 of each group's bytes, kDigestBytes each),
//       signature (ECDSA P-256 of the SHA-256 of every byte before it)
const size_t kAttestFixedBytes = 44;
// A stream's attestation:
//   16  first message attested (4)
//   20  digests (1, at least one), 0 (3)
//   24  when it was signed (8)
//   32  digests (SHA-256 of each message's bytes), signature, as above
const size_t kStreamAttestFixedBytes = 32;
const size_t kMaxAttestDigests = 32;
const size_t kDigestBytes = 32;
const size_t kSignatureBytes = 64;

// What every object packet says of the object.
struct ObjectShape {
    uint64_t size = 0;       // bytes
    uint16_t blockSize = 0;  // bytes of a data block (the last may be shorter)
    uint8_t groupBlocks = 0; // k: data blocks in a coding group (the last group may have fewer)

    uint64_t Blocks() const { return blockSize == 0 ? 0 : (size + blockSize - 1) / blockSize; }
    uint32_t Groups() const { return static_cast<uint32_t>(groupBlocks == 0 ? 0 : (Blocks() + groupBlocks - 1) / groupBlocks); }
    // Data blocks in group g.
    int BlocksIn(uint32_t g) const;
    // Bytes of data block i of group g.
    size_t BytesOf(uint32_t g, int i) const;
    uint64_t OffsetOf(uint32_t g, int i) const { return (static_cast<uint64_t>(g) * groupBlocks + i) * blockSize; }
    // Bytes of the object in group g: one run from OffsetOf(g, 0).
    size_t BytesOfGroup(uint32_t g) const
    {
        const int k = BlocksIn(g);
        return static_cast<size_t>(OffsetOf(g, k - 1) - OffsetOf(g, 0)) + BytesOf(g, k - 1);
    }
    bool Valid() const;
    bool operator==(const ObjectShape &o) const
    {
        return size == o.size && blockSize == o.blockSize && groupBlocks == o.groupBlocks;
    }
};

struct NackEntry {
    uint32_t group;
    uint16_t need;  // blocks still needed to rebuild the group
    uint16_t seen;  // the highest block index of the group seen, 0xFFFF for none
};

struct Packet {
    PacketType type = kData;
    uint32_t session = 0;
    uint32_t object = 0;
    // kData and kAnnounce
    ObjectShape shape;
    // kData
    uint32_t group = 0;
    uint8_t index = 0;  // < k: data block; >= k: parity block index - k
    const uint8_t *payload = nullptr;
    size_t payloadBytes = 0;
    // kAnnounce
    uint32_t position = 0;  // the group the first pass sends next; Groups() once it is done
    // kAnnounce and kAttest
    std::string name;       // the object's name, if the sender gave one (see ValidName)
    // kStreamHead
    uint32_t next = 0;
    uint32_t oldest = 0;
    // kAttest and kStreamAttest (for which firstAttested is a message's number)
    uint32_t firstAttested = 0;
    size_t digestCount = 0;
    const uint8_t *digests = nullptr;  // digestCount of them, for groups firstAttested on
    uint64_t signedAt = 0;
    const uint8_t *signature = nullptr;
    size_t signedBytes = 0;            // what the signature covers: bytes[0, signedBytes)
    // kNack and kStatus
    uint32_t receiver = 0;
    std::vector<NackEntry> nacks;
    // kStatus
    bool complete = false;
    uint32_t groupsMissing = 0;
};

// The longest name an announcement carries.
const size_t kMaxNameBytes = 200;

// A name a receiver can use as a file's name in any folder as it stands: up
// to kMaxNameBytes, no control character, no separator or character that
// Windows refuses in a name (/ \ : * ? " < > |), not "." or "..", no
// leading or trailing space or dot, and not one of the names that Windows
// takes for a device (CON, NUL, COM1 and the like, with any extension).
// Empty: no name.
bool ValidName(const std::string &name);

// false for anything that is not one well-formed packet of this protocol.
bool Parse(const uint8_t *bytes, size_t length, Packet *packet);

std::vector<uint8_t> EncodeData(uint32_t session, uint32_t object, const ObjectShape &shape, uint32_t group,
                                uint8_t index, const uint8_t *payload, size_t payloadBytes);
std::vector<uint8_t> EncodeStreamData(uint32_t session, uint32_t message, const ObjectShape &shape, uint8_t index,
                                      const uint8_t *payload, size_t payloadBytes);
std::vector<uint8_t> EncodeStreamHead(uint32_t session, uint32_t stream, uint32_t next, uint32_t oldest);
// The name must be valid (ValidName); an invalid one is left out.
std::vector<uint8_t> EncodeAnnounce(uint32_t session, uint32_t object, const ObjectShape &shape, uint32_t position,
                                    const std::string &name = std::string());
// An attestation of digests[0, count) for groups first on, all but its
// signature: the signer appends that (kSignatureBytes) to make it whole.
std::vector<uint8_t> EncodeAttestBody(uint32_t session, uint32_t object, const ObjectShape &shape,
                                      const std::string &name, uint32_t first, const uint8_t *digests, size_t count,
                                      uint64_t signedAt);
std::vector<uint8_t> EncodeStreamAttestBody(uint32_t session, uint32_t stream, uint32_t first, const uint8_t *digests,
                                            size_t count, uint64_t signedAt);
// Whether an attestation (kAttest or kStreamAttest, parsed from bytes) is
// the teacher's and recent; a refusal is told to the attestor.
bool TeachersAndRecent(Attestor &attestor, const Packet &p, const uint8_t *bytes);
std::vector<uint8_t> EncodeNack(uint32_t session, uint32_t object, uint32_t receiver,
                                const std::vector<NackEntry> &entries);
std::vector<uint8_t> EncodeStatus(uint32_t session, uint32_t object, uint32_t receiver, bool complete,
                                  uint32_t groupsMissing);

}  // namespace cast

#endif
