// The Linux cast driver's packets under the class key: what one socket seals
// another opens to the same payload; a plain, changed, foreign, misdirected
// or repeated packet is refused and counted, and without a key nothing
// changes.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "posix/cast_driver.h"

namespace {

using auth::Refusal;

const uint16_t kPort = 47210;

std::shared_ptr<auth::Settings> NewClass()
{
    auth::ClassKey key;
    EXPECT_TRUE(auth::RandomBytes(key.bytes, sizeof key.bytes));
    std::shared_ptr<auth::Settings> settings = auth::Settings::ForClassKey(key);
    EXPECT_NE(settings, nullptr);
    return settings;
}

std::vector<uint8_t> Bytes(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A packet of a cast's size, not all of one byte.
std::vector<uint8_t> CastPacket()
{
    std::vector<uint8_t> packet(1432);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i * 7 + 3);
    return packet;
}

class PacketSealTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(sender.Key(settings, &senderRefusals, &error)) << error;
        ASSERT_TRUE(receiver.Key(settings, &refusals, &error)) << error;
    }

    std::vector<uint8_t> Sealed(const std::vector<uint8_t> &payload, auth::WallMicros now, uint16_t port = kPort)
    {
        size_t size = 0;
        const uint8_t *bytes = sender.Seal(payload.data(), payload.size(), port, now, &size);
        EXPECT_NE(bytes, nullptr);
        return bytes == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + size);
    }

    // The payload the receiver takes, or nothing (refused).
    bool Opens(const std::vector<uint8_t> &packet, std::vector<uint8_t> *payload, auth::WallMicros now)
    {
        size_t size = 0;
        if (!receiver.Open(packet.data(), packet.size(), kPort, now, &size))
            return false;
        payload->assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(size));
        return true;
    }

    uint32_t Refused() const
    {
        uint32_t all = 0;
        for (Refusal why : {Refusal::kUnknownSender, Refusal::kBadTag, Refusal::kReplay, Refusal::kNoSignature,
                            Refusal::kTooManyPlaces})
            all += refusals.Of(why);
        return all;
    }

    std::shared_ptr<auth::Settings> settings = NewClass();
    auth::WallMicros now = posixcast::WallNow();
    auth::Counters refusals, senderRefusals;
    posixcast::PacketSeal sender, receiver;
};

TEST_F(PacketSealTest, WhatOneSocketSealsAnotherOpensToTheSamePayload)
{
    const std::vector<uint8_t> payloads[] = {CastPacket(), Bytes("x"), {}};
    for (const std::vector<uint8_t> &payload : payloads) {
        std::vector<uint8_t> packet = Sealed(payload, now);
        EXPECT_EQ(packet.size(), payload.size() + auth::kClassTrailerBytes);
        std::vector<uint8_t> opened;
        ASSERT_TRUE(Opens(packet, &opened, now)) << payload.size() << " bytes";
        EXPECT_EQ(opened, payload);
    }
    EXPECT_EQ(Refused(), 0u);
}

TEST_F(PacketSealTest, ManyPacketsInARowAllOpen)
{
    // A sender outruns the microsecond clock: the sequence numbers still rise.
    std::vector<uint8_t> payload = CastPacket(), opened;
    for (int i = 0; i < 3000; ++i) {
        payload[0] = static_cast<uint8_t>(i);
        ASSERT_TRUE(Opens(Sealed(payload, now), &opened, now)) << "packet " << i;
        ASSERT_EQ(opened, payload);
    }
    EXPECT_EQ(Refused(), 0u);
}

TEST_F(PacketSealTest, BulkIsNeverSignedEvenWithTheTeachersKey)
{
    std::shared_ptr<auth::Settings> teachers = std::make_shared<auth::Settings>(*settings);
    ASSERT_TRUE(auth::GenerateTeacherKey(&teachers->teacherPrivate));
    teachers->haveTeacherPrivate = true;
    teachers->teacherPublic = teachers->teacherPrivate.pub;
    teachers->haveTeacherPublic = true;
    std::string error;
    ASSERT_TRUE(sender.Key(teachers, &senderRefusals, &error)) << error;
    std::vector<uint8_t> payload = CastPacket(), packet = Sealed(payload, now), opened;
    EXPECT_EQ(packet.size(), payload.size() + auth::kClassTrailerBytes);
    EXPECT_EQ(packet.back(), auth::kClassKind);
    ASSERT_TRUE(Opens(packet, &opened, now));
    EXPECT_EQ(opened, payload);
}

TEST_F(PacketSealTest, RefusedPacketsAreCountedByWhy)
{
    const std::vector<uint8_t> payload = CastPacket();
    const std::vector<uint8_t> sealed = Sealed(payload, now);
    auth::Counters otherRefusals;
    posixcast::PacketSeal otherClass;
    std::string error;
    ASSERT_TRUE(otherClass.Key(NewClass(), &otherRefusals, &error)) << error;
    size_t otherSize = 0;
    const uint8_t *other = otherClass.Seal(payload.data(), payload.size(), kPort, now, &otherSize);
    ASSERT_NE(other, nullptr);

    // A recording: sealed long ago (by a seal of its own, whose numbers
    // start from that time).
    posixcast::PacketSeal past;
    ASSERT_TRUE(past.Key(settings, &otherRefusals, &error)) << error;
    size_t oldSize = 0;
    const uint8_t *old = past.Seal(payload.data(), payload.size(), kPort, now - 360ull * 1000 * 1000, &oldSize);
    ASSERT_NE(old, nullptr);

    auto flipped = [&](size_t at) {
        std::vector<uint8_t> packet = sealed;
        packet[at] ^= 0x10;
        return packet;
    };
    const size_t tagAt = sealed.size() - 1 - auth::kTagBytes;
    const struct {
        const char *what;
        std::vector<uint8_t> packet;
        Refusal why;
    } cases[] = {
        {"a plain packet", payload, Refusal::kUnknownSender},
        {"another class's packet", std::vector<uint8_t>(other, other + otherSize), Refusal::kUnknownSender},
        {"a changed payload byte", flipped(100), Refusal::kBadTag},
        {"a changed sender id", flipped(payload.size() + 5), Refusal::kBadTag},
        {"a changed tag", flipped(tagAt + 3), Refusal::kBadTag},
        {"a packet cut short", std::vector<uint8_t>(sealed.begin() + 1, sealed.end()), Refusal::kBadTag},
        {"a packet sealed for another port", Sealed(payload, now, kPort + 1), Refusal::kBadTag},
        {"a packet of six minutes ago", std::vector<uint8_t>(old, old + oldSize), Refusal::kReplay},
        {"nothing (a packet too large for its slot)", {}, Refusal::kUnknownSender},
    };
    for (const auto &c : cases) {
        uint32_t was = refusals.Of(c.why);
        std::vector<uint8_t> opened;
        EXPECT_FALSE(Opens(c.packet, &opened, now)) << c.what;
        EXPECT_EQ(refusals.Of(c.why), was + 1) << c.what;
    }
    EXPECT_EQ(Refused(), sizeof cases / sizeof cases[0]);
    // The original still opens once, and only once.
    std::vector<uint8_t> opened;
    EXPECT_TRUE(Opens(sealed, &opened, now));
    EXPECT_FALSE(Opens(sealed, &opened, now));
    EXPECT_EQ(refusals.Of(Refusal::kReplay), 2u);
}

TEST_F(PacketSealTest, WithoutAKeyPacketsPassAsTheyAre)
{
    posixcast::PacketSeal plain;
    std::string error;
    ASSERT_TRUE(plain.Key(nullptr, &refusals, &error));
    const std::vector<uint8_t> payload = CastPacket();
    size_t size = 0;
    EXPECT_EQ(plain.Seal(payload.data(), payload.size(), kPort, now, &size), payload.data());
    EXPECT_EQ(size, payload.size());
    const std::vector<uint8_t> sealed = Sealed(payload, now);
    ASSERT_TRUE(plain.Open(sealed.data(), sealed.size(), kPort, now, &size));
    EXPECT_EQ(size, sealed.size());
    EXPECT_EQ(Refused(), 0u);
}

TEST_F(PacketSealTest, APacketTooLargeForADatagramIsNotSealed)
{
    std::vector<uint8_t> payload(65507 - auth::kClassTrailerBytes + 1);
    size_t size = 0;
    EXPECT_EQ(sender.Seal(payload.data(), payload.size(), kPort, now, &size), nullptr);
    payload.pop_back();
    EXPECT_NE(sender.Seal(payload.data(), payload.size(), kPort, now, &size), nullptr);
    EXPECT_EQ(size, 65507u);
}

}  // namespace
