#include "cast/cast_wire.h"

#include <ctype.h>
#include <string.h>

#include "common/big_endian.h"

namespace cast {

namespace {

const uint8_t kMagic0 = 'K', kMagic1 = 'C';
const uint8_t kVersion = 1;

std::vector<uint8_t> Header(PacketType type, uint32_t session, uint32_t object)
{
    std::vector<uint8_t> b = {kMagic0, kMagic1, kVersion, type};
    Put32(b, session);
    Put32(b, object);
    Put32(b, 0);  // flags and reserved
    return b;
}

void PutShape(std::vector<uint8_t> &b, const ObjectShape &shape)
{
    Put64(b, shape.size);
    Put16(b, shape.blockSize);
    b.push_back(shape.groupBlocks);
}

ObjectShape GetShape(const uint8_t *p)
{
    ObjectShape shape;
    shape.size = Get64(p);
    shape.blockSize = Get16(p + 8);
    shape.groupBlocks = p[10];
    return shape;
}

bool ParseData(const uint8_t *bytes, size_t length, Packet *packet)
{
    if (length < kDataHeaderBytes)
        return false;
    packet->shape = GetShape(bytes + 16);
    packet->index = bytes[27];
    packet->group = Get32(bytes + 28);
    packet->payload = bytes + kDataHeaderBytes;
    packet->payloadBytes = length - kDataHeaderBytes;
    const ObjectShape &shape = packet->shape;
    if (!shape.Valid() || packet->group >= shape.Groups())
        return false;
    const int k = shape.BlocksIn(packet->group);
    if (packet->index < shape.groupBlocks) {
        // A data block: exactly its bytes, and one the group has.
        return packet->index < k && packet->payloadBytes == shape.BytesOf(packet->group, packet->index);
    }
    // A parity block: a whole block.
    return packet->payloadBytes == shape.blockSize;
}

bool ParseAttest(const uint8_t *bytes, size_t length, Packet *packet)
{
    if (length < kAttestFixedBytes + kSignatureBytes || bytes[33] != 0 || bytes[34] != 0 || bytes[35] != 0)
        return false;
    const size_t nameBytes = bytes[27];
    packet->digestCount = bytes[32];
    if (packet->digestCount > kMaxAttestDigests ||
        length != kAttestFixedBytes + nameBytes + packet->digestCount * kDigestBytes + kSignatureBytes)
        return false;
    packet->shape = GetShape(bytes + 16);
    packet->firstAttested = Get32(bytes + 28);
    packet->signedAt = Get64(bytes + 36);
    packet->name.assign(reinterpret_cast<const char *>(bytes + kAttestFixedBytes), nameBytes);
    packet->digests = bytes + kAttestFixedBytes + nameBytes;
    packet->signedBytes = length - kSignatureBytes;
    packet->signature = bytes + packet->signedBytes;
    return packet->shape.Valid() && packet->firstAttested <= packet->shape.Groups() &&
           packet->digestCount <= packet->shape.Groups() - packet->firstAttested && ValidName(packet->name);
}

bool ParseStreamAttest(const uint8_t *bytes, size_t length, Packet *packet)
{
    if (length < kStreamAttestFixedBytes + kSignatureBytes || bytes[21] != 0 || bytes[22] != 0 || bytes[23] != 0)
        return false;
    packet->digestCount = bytes[20];
    if (packet->digestCount == 0 || packet->digestCount > kMaxAttestDigests ||
        length != kStreamAttestFixedBytes + packet->digestCount * kDigestBytes + kSignatureBytes)
        return false;
    packet->firstAttested = Get32(bytes + 16);
    packet->signedAt = Get64(bytes + 24);
    packet->digests = bytes + kStreamAttestFixedBytes;
    packet->signedBytes = length - kSignatureBytes;
    packet->signature = bytes + packet->signedBytes;
    return true;
}

}  // namespace

int ObjectShape::BlocksIn(uint32_t g) const
{
    uint64_t first = static_cast<uint64_t>(g) * groupBlocks;
    uint64_t left = Blocks() - first;
    return static_cast<int>(left < groupBlocks ? left : groupBlocks);
}

size_t ObjectShape::BytesOf(uint32_t g, int i) const
{
    uint64_t offset = OffsetOf(g, i);
    uint64_t left = size - offset;
    return static_cast<size_t>(left < blockSize ? left : blockSize);
}

bool ObjectShape::Valid() const
{
    // At least one parity block must fit beside a full group.
    return size > 0 && blockSize > 0 && groupBlocks > 0 && groupBlocks < 255 && Groups() > 0 &&
           Blocks() / groupBlocks < 0xFFFFFFFFull;
}

namespace {

// CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any case, alone or
// before a dot: opening one opens the device, not a file.
bool DeviceName(const std::string &name)
{
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char &c : stem)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

bool ValidName(const std::string &name)
{
    if (DeviceName(name))
        return false;
    if (name.size() > kMaxNameBytes || name == "." || name == "..")
        return false;
    if (!name.empty() && (name.front() == ' ' || name.back() == ' ' || name.back() == '.'))
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || strchr("/\\:*?\"<>|", c) != nullptr)
            return false;
    }
    return true;
}

bool Parse(const uint8_t *bytes, size_t length, Packet *packet)
{
    if (bytes == nullptr || length < kHeaderBytes || bytes[0] != kMagic0 || bytes[1] != kMagic1 ||
        bytes[2] != kVersion || bytes[12] != 0 || bytes[13] != 0 || bytes[14] != 0 || bytes[15] != 0)
        return false;
    packet->type = static_cast<PacketType>(bytes[3]);
    packet->session = Get32(bytes + 4);
    packet->object = Get32(bytes + 8);
    switch (packet->type) {
    case kData:
        return ParseData(bytes, length, packet);
    case kStreamData:
        // A message is one group, and leaves room for a parity block.
        return ParseData(bytes, length, packet) && packet->shape.Groups() == 1;
    case kStreamHead:
        if (length != 24)
            return false;
        packet->next = Get32(bytes + 16);
        packet->oldest = Get32(bytes + 20);
        return packet->next - packet->oldest <= 0x7FFFFFFFu;
    case kAnnounce:
        // The byte after the shape gives the length of the name that ends the packet.
        if (length < 32 || length != 32u + bytes[27])
            return false;
        packet->shape = GetShape(bytes + 16);
        packet->position = Get32(bytes + 28);
        packet->name.assign(reinterpret_cast<const char *>(bytes + 32), bytes[27]);
        return packet->shape.Valid() && packet->position <= packet->shape.Groups() && ValidName(packet->name);
    case kAttest:
        return ParseAttest(bytes, length, packet);
    case kStreamAttest:
        return ParseStreamAttest(bytes, length, packet);
    case kNack: {
        if (length < 24)
            return false;
        packet->receiver = Get32(bytes + 16);
        size_t count = Get16(bytes + 20);
        if (count == 0 || count > kMaxNackEntries || length != 24 + count * kNackEntryBytes)
            return false;
        packet->nacks.clear();
        for (size_t i = 0; i < count; ++i) {
            const uint8_t *e = bytes + 24 + i * kNackEntryBytes;
            NackEntry entry = {Get32(e), Get16(e + 4), Get16(e + 6)};
            if (entry.need == 0 || entry.need > 255)
                return false;
            packet->nacks.push_back(entry);
        }
        return true;
    }
    case kStatus:
        if (length != 28 || bytes[20] > 1)
            return false;
        packet->receiver = Get32(bytes + 16);
        packet->complete = bytes[20] == 1;
        packet->groupsMissing = Get32(bytes + 24);
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> EncodeData(uint32_t session, uint32_t object, const ObjectShape &shape, uint32_t group,
                                uint8_t index, const uint8_t *payload, size_t payloadBytes)
{
    std::vector<uint8_t> b = Header(kData, session, object);
    PutShape(b, shape);
    b.push_back(index);
    Put32(b, group);
    b.insert(b.end(), payload, payload + payloadBytes);
    return b;
}

std::vector<uint8_t> EncodeStreamData(uint32_t session, uint32_t message, const ObjectShape &shape, uint8_t index,
                                      const uint8_t *payload, size_t payloadBytes)
{
    std::vector<uint8_t> b = EncodeData(session, message, shape, 0, index, payload, payloadBytes);
    b[3] = kStreamData;
    return b;
}

std::vector<uint8_t> EncodeStreamHead(uint32_t session, uint32_t stream, uint32_t next, uint32_t oldest)
{
    std::vector<uint8_t> b = Header(kStreamHead, session, stream);
    Put32(b, next);
    Put32(b, oldest);
    return b;
}

std::vector<uint8_t> EncodeAnnounce(uint32_t session, uint32_t object, const ObjectShape &shape, uint32_t position,
                                    const std::string &name)
{
    const std::string sent = ValidName(name) ? name : std::string();
    std::vector<uint8_t> b = Header(kAnnounce, session, object);
    PutShape(b, shape);
    b.push_back(static_cast<uint8_t>(sent.size()));
    Put32(b, position);
    b.insert(b.end(), sent.begin(), sent.end());
    return b;
}

std::vector<uint8_t> EncodeAttestBody(uint32_t session, uint32_t object, const ObjectShape &shape,
                                      const std::string &name, uint32_t first, const uint8_t *digests, size_t count,
                                      uint64_t signedAt)
{
    const std::string sent = ValidName(name) ? name : std::string();
    std::vector<uint8_t> b = Header(kAttest, session, object);
    PutShape(b, shape);
    b.push_back(static_cast<uint8_t>(sent.size()));
    Put32(b, first);
    b.push_back(static_cast<uint8_t>(count));
    b.insert(b.end(), 3, 0);
    Put64(b, signedAt);
    b.insert(b.end(), sent.begin(), sent.end());
    b.insert(b.end(), digests, digests + count * kDigestBytes);
    return b;
}

std::vector<uint8_t> EncodeStreamAttestBody(uint32_t session, uint32_t stream, uint32_t first, const uint8_t *digests,
                                            size_t count, uint64_t signedAt)
{
    std::vector<uint8_t> b = Header(kStreamAttest, session, stream);
    Put32(b, first);
    b.push_back(static_cast<uint8_t>(count));
    b.insert(b.end(), 3, 0);
    Put64(b, signedAt);
    b.insert(b.end(), digests, digests + count * kDigestBytes);
    return b;
}

bool TeachersAndRecent(Attestor &attestor, const Packet &p, const uint8_t *bytes)
{
    const bool teachers = attestor.Verify(bytes, p.signedBytes, p.signature);
    if (teachers && attestor.Recent(p.signedAt))
        return true;
    attestor.Refused(/*replay=*/teachers);
    return false;
}

std::vector<uint8_t> EncodeNack(uint32_t session, uint32_t object, uint32_t receiver,
                                const std::vector<NackEntry> &entries)
{
    std::vector<uint8_t> b = Header(kNack, session, object);
    Put32(b, receiver);
    Put16(b, static_cast<uint16_t>(entries.size()));
    Put16(b, 0);
    for (const NackEntry &e : entries) {
        Put32(b, e.group);
        Put16(b, e.need);
        Put16(b, e.seen);
    }
    return b;
}

std::vector<uint8_t> EncodeStatus(uint32_t session, uint32_t object, uint32_t receiver, bool complete,
                                  uint32_t groupsMissing)
{
    std::vector<uint8_t> b = Header(kStatus, session, object);
    Put32(b, receiver);
    b.push_back(complete ? 1 : 0);
    b.push_back(0);
    Put16(b, 0);
    Put32(b, groupsMissing);
    return b;
}

}  // namespace cast
