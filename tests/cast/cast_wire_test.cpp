// The packets of a transfer: what is encoded parses back the same, and
// anything else (cut short, grown, a field out of range, a foreign packet)
// is refused.
#include <string.h>

#include <gtest/gtest.h>

#include <random>

#include "cast/cast_wire.h"

namespace {

using namespace cast;

ObjectShape Shape(uint64_t size, uint16_t block = 1000, uint8_t k = 4)
{
    ObjectShape shape;
    shape.size = size;
    shape.blockSize = block;
    shape.groupBlocks = k;
    return shape;
}

TEST(CastWire, EachPacketParsesBackAsItWasMade)
{
    // 10,500 bytes in blocks of 1000, four a group: 11 blocks, the last of
    // 500 bytes, in 3 groups, the last of 3 blocks.
    ObjectShape shape = Shape(10500);
    ASSERT_EQ(11u, shape.Blocks());
    ASSERT_EQ(3u, shape.Groups());
    ASSERT_EQ(3, shape.BlocksIn(2));
    ASSERT_EQ(500u, shape.BytesOf(2, 2));
    std::vector<uint8_t> block(1000, 0x5A);

    Packet p;
    std::vector<uint8_t> last = EncodeData(9, 8, shape, 2, 2, block.data(), 500);
    ASSERT_TRUE(Parse(last.data(), last.size(), &p));
    EXPECT_EQ(kData, p.type);
    EXPECT_EQ(9u, p.session);
    EXPECT_EQ(8u, p.object);
    EXPECT_TRUE(p.shape == shape);
    EXPECT_EQ(2u, p.group);
    EXPECT_EQ(2, p.index);
    EXPECT_EQ(500u, p.payloadBytes);

    std::vector<uint8_t> parity = EncodeData(9, 8, shape, 2, 4 + 7, block.data(), 1000);
    ASSERT_TRUE(Parse(parity.data(), parity.size(), &p));
    EXPECT_EQ(11, p.index);

    std::vector<uint8_t> announce = EncodeAnnounce(9, 8, shape, 3);
    ASSERT_TRUE(Parse(announce.data(), announce.size(), &p));
    EXPECT_EQ(kAnnounce, p.type);
    EXPECT_EQ(3u, p.position);
    EXPECT_EQ("", p.name);
    std::vector<uint8_t> named = EncodeAnnounce(9, 8, shape, 3, "Lesson 4 (maths).pdf");
    ASSERT_TRUE(Parse(named.data(), named.size(), &p));
    EXPECT_EQ("Lesson 4 (maths).pdf", p.name);
    EXPECT_EQ(3u, p.position);

    std::vector<NackEntry> entries = {{0, 2, 1}, {1, 4, 0xFFFF}};
    std::vector<uint8_t> nack = EncodeNack(9, 8, 77, entries);
    ASSERT_TRUE(Parse(nack.data(), nack.size(), &p));
    EXPECT_EQ(kNack, p.type);
    EXPECT_EQ(77u, p.receiver);
    ASSERT_EQ(2u, p.nacks.size());
    EXPECT_EQ(4, p.nacks[1].need);
    EXPECT_EQ(0xFFFF, p.nacks[1].seen);

    std::vector<uint8_t> head = EncodeStreamHead(9, 1, 40, 8);
    ASSERT_TRUE(Parse(head.data(), head.size(), &p));
    EXPECT_EQ(kStreamHead, p.type);
    EXPECT_EQ(40u, p.next);
    EXPECT_EQ(8u, p.oldest);

    ObjectShape message = Shape(2500, 1000, 3);
    std::vector<uint8_t> frame = EncodeStreamData(9, 41, message, 2, block.data(), 500);
    ASSERT_TRUE(Parse(frame.data(), frame.size(), &p));
    EXPECT_EQ(kStreamData, p.type);
    EXPECT_EQ(41u, p.object) << "a stream's data packet carries the message's number";

    std::vector<uint8_t> status = EncodeStatus(9, 8, 77, true, 0);
    ASSERT_TRUE(Parse(status.data(), status.size(), &p));
    EXPECT_EQ(kStatus, p.type);
    EXPECT_TRUE(p.complete);

    std::vector<uint8_t> digests(2 * kDigestBytes);
    for (size_t i = 0; i < digests.size(); ++i)
        digests[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> attest = EncodeAttestBody(9, 8, shape, "notes.txt", 1, digests.data(), 2, 1234567);
    const size_t body = attest.size();
    attest.resize(body + kSignatureBytes, 0xEE);
    ASSERT_TRUE(Parse(attest.data(), attest.size(), &p));
    EXPECT_EQ(kAttest, p.type);
    EXPECT_TRUE(p.shape == shape);
    EXPECT_EQ("notes.txt", p.name);
    EXPECT_EQ(1u, p.firstAttested);
    ASSERT_EQ(2u, p.digestCount);
    EXPECT_EQ(0, memcmp(p.digests, digests.data(), digests.size()));
    EXPECT_EQ(1234567u, p.signedAt);
    EXPECT_EQ(body, p.signedBytes);
    EXPECT_EQ(attest.data() + body, p.signature);

    std::vector<uint8_t> streamAttest = EncodeStreamAttestBody(9, 1, 40, digests.data(), 2, 7654321);
    streamAttest.resize(streamAttest.size() + kSignatureBytes);
    ASSERT_TRUE(Parse(streamAttest.data(), streamAttest.size(), &p));
    EXPECT_EQ(kStreamAttest, p.type);
    EXPECT_EQ(40u, p.firstAttested);
    ASSERT_EQ(2u, p.digestCount);
    EXPECT_EQ(0, memcmp(p.digests, digests.data(), digests.size()));
    EXPECT_EQ(7654321u, p.signedAt);
}

TEST(CastWire, MalformedPacketsAreRefused)
{
    ObjectShape shape = Shape(10500);
    std::vector<uint8_t> block(1000, 1);
    const std::vector<uint8_t> data = EncodeData(1, 1, shape, 0, 0, block.data(), 1000);
    const std::vector<uint8_t> nack = EncodeNack(1, 1, 5, {{0, 1, 0}});
    const std::vector<uint8_t> status = EncodeStatus(1, 1, 5, false, 3);
    const std::vector<uint8_t> twoDigests(2 * kDigestBytes, 7);
    const std::vector<uint8_t> attestBody = EncodeAttestBody(1, 1, shape, "", 0, twoDigests.data(), 2, 1);
    std::vector<uint8_t> attest = attestBody;
    attest.resize(attest.size() + kSignatureBytes);
    std::vector<uint8_t> streamAttest = EncodeStreamAttestBody(1, 1, 5, twoDigests.data(), 2, 1);
    streamAttest.resize(streamAttest.size() + kSignatureBytes);
    auto changed = [](std::vector<uint8_t> bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    auto resized = [](std::vector<uint8_t> bytes, size_t n) {
        bytes.resize(n);
        return bytes;
    };
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"the header alone", resized(data, kHeaderBytes)},
        {"a data block one byte short", resized(data, data.size() - 1)},
        {"a data block one byte long", resized(data, data.size() + 1)},
        {"another magic", changed(data, 0, 'X')},
        {"another version", changed(data, 2, 2)},
        {"an unknown type", changed(data, 3, 9)},
        {"flags set", changed(data, 12, 1)},
        {"a group beyond the object", EncodeData(1, 1, shape, 3, 0, block.data(), 1000)},
        {"a data block the last group has not", EncodeData(1, 1, shape, 2, 3, block.data(), 1000)},
        {"the last block at full length", EncodeData(1, 1, shape, 2, 2, block.data(), 1000)},
        {"a short parity block", EncodeData(1, 1, shape, 0, 5, block.data(), 999)},
        {"an object of no bytes", EncodeData(1, 1, Shape(0), 0, 0, block.data(), 0)},
        {"groups of 255 blocks (no room for parity)", EncodeData(1, 1, Shape(10500, 1000, 255), 0, 0, block.data(), 1000)},
        {"an announcement past the end", EncodeAnnounce(1, 1, shape, 4)},
        {"an announcement cut in its name", resized(EncodeAnnounce(1, 1, shape, 1, "notes.txt"), 40)},
        {"an announcement longer than its name", resized(EncodeAnnounce(1, 1, shape, 1, "notes.txt"), 42)},
        {"a name that climbs out of the folder", changed(EncodeAnnounce(1, 1, shape, 1, "a.b"), 33, '/')},
        {"a request with no entry", EncodeNack(1, 1, 5, {})},
        {"a request for no block", EncodeNack(1, 1, 5, {{0, 0, 0}})},
        {"a request for 256 blocks", EncodeNack(1, 1, 5, {{0, 256, 0}})},
        {"a request cut in its entry", resized(nack, nack.size() - 1)},
        {"a request whose count says two", changed(nack, 21, 2)},
        {"a status cut short", resized(status, status.size() - 1)},
        {"a status neither complete nor not", changed(status, 20, 2)},
        {"a stream message of two groups", EncodeStreamData(1, 1, Shape(10500), 0, block.data(), 1000)},
        {"a stream head cut short", resized(EncodeStreamHead(1, 1, 5, 2), 23)},
        {"an attestation without its signature", attestBody},
        {"an attestation one byte short", resized(attest, attest.size() - 1)},
        {"an attestation whose count says three", changed(attest, 32, 3)},
        {"an attestation of digests past the object", changed(attest, 31, 2)},
        {"a stream's attestation of no message", changed(streamAttest, 20, 0)},
        {"a stream's attestation one byte long", resized(streamAttest, streamAttest.size() + 1)},
    };
    for (const Case &c : cases) {
        Packet p;
        EXPECT_FALSE(Parse(c.bytes.data(), c.bytes.size(), &p)) << c.what;
    }
}

// Names a receiver may use as a file's name in its folder, and those it may not.
TEST(CastWire, OnlyNamesSafeInAFolderAreValid)
{
    const struct {
        const char *name;
        bool valid;
    } cases[] = {
        {"", true}, {"lesson.pdf", true}, {"Exam 2026 - part 1.docx", true}, {"..lesson", true},
        {"icon.d", true}, {"COM10", true}, {"con.d", false}, {".", false}, {"..", false}, {"../x", false},
        {"a/b", false}, {"a\\b", false}, {"c:x", false}, {"what?", false}, {"a*", false},
        {"\"q\"", false}, {"<a>", false}, {"a|b", false}, {"tab\there", false}, {"del\x7f", false},
        {" lead", false}, {"trail ", false}, {"trail.", false}, {"CON", false}, {"nul.txt", false},
        {"Com1", false}, {"lpt9.log", false}, {"aux .txt", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.valid, ValidName(c.name)) << c.name;
    EXPECT_TRUE(ValidName(std::string(kMaxNameBytes, 'n')));
    EXPECT_FALSE(ValidName(std::string(kMaxNameBytes + 1, 'n')));
    // An invalid name is left out of the announcement rather than sent.
    std::vector<uint8_t> bytes = EncodeAnnounce(1, 1, Shape(10), 0, "../../etc/passwd");
    Packet p;
    ASSERT_TRUE(Parse(bytes.data(), bytes.size(), &p));
    EXPECT_EQ("", p.name);
}

// Random changes to good packets: each parses or is refused, and what
// parses stays within the object (the sanitizers watch every read).
TEST(CastWire, RandomChangesNeverReadOutside)
{
    std::mt19937_64 random(3);
    ObjectShape shape = Shape(10500);
    std::vector<uint8_t> block(1000, 1);
    const std::vector<std::vector<uint8_t>> good = {
        EncodeData(1, 1, shape, 1, 2, block.data(), 1000), EncodeAnnounce(1, 1, shape, 1),
        EncodeNack(1, 1, 5, {{0, 1, 0}, {2, 3, 5}}), EncodeStatus(1, 1, 5, false, 3)};
    size_t parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes = good[random() % good.size()];
        for (int changes = 1 + random() % 3; changes > 0; --changes)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        if (random() % 4 == 0)
            bytes.resize(random() % (bytes.size() + 1));
        Packet p;
        if (!Parse(bytes.data(), bytes.size(), &p))
            continue;
        ++parsed;
        if (p.type == kData) {
            ASSERT_LT(p.group, p.shape.Groups());
            ASSERT_LE(p.payload + p.payloadBytes, bytes.data() + bytes.size());
        }
    }
    EXPECT_GT(parsed, 0u) << "some changes leave a packet that is still well-formed";
}

}  // namespace
