// The teacher's signature on an object cast, with this machine's libcrypto:
// a receiver that holds the teacher's public key takes an attested object
// only with the bytes the teacher signed, and where it takes only the
// teacher's, nothing that is not attested by the teacher's key, recently.
#include <string.h>

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "auth/cast_attestor.h"
#include "cast/cast_receiver.h"
#include "cast/cast_sender.h"
#include "cast/cast_stream.h"

namespace {

using cast::Micros;

const auth::WallMicros kWallStart = 1796000000ull * 1000 * 1000;  // a December 2026 morning

class MemorySink : public cast::Sink {
public:
    bool Begin(uint64_t size) override
    {
        bytes.assign(size, 0);
        return true;
    }
    bool Write(uint64_t offset, const uint8_t *from, size_t n) override
    {
        memcpy(&bytes[offset], from, n);
        return true;
    }
    bool Read(uint64_t offset, uint8_t *to, size_t n) override
    {
        memcpy(to, &bytes[offset], n);
        return true;
    }
    void End(bool) override {}
    std::vector<uint8_t> bytes;
};

class MemorySource : public cast::Source {
public:
    explicit MemorySource(const std::vector<uint8_t> &bytes) : m_bytes(bytes) {}
    bool Read(uint64_t offset, uint8_t *to, size_t n) override
    {
        memcpy(to, &m_bytes[offset], n);
        return true;
    }

private:
    const std::vector<uint8_t> &m_bytes;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
    return bytes;
}

auth::TeacherPrivateKey NewTeacherKey()
{
    auth::TeacherPrivateKey key;
    EXPECT_TRUE(auth::GenerateTeacherKey(&key));
    return key;
}

// What one machine holds: the class key, and the teacher's keys it was given.
struct Machine {
    enum Holds { kClassOnly, kTeachersPublic, kTeachersPrivate };
    Machine(const auth::ClassKey &classKey, const auth::TeacherPrivateKey &teacher, Holds holds, bool teachersOnly,
            const Micros *clock, int64_t clockOffset = 0)
    {
        std::shared_ptr<auth::Settings> made = auth::Settings::ForClassKey(classKey);
        made->haveTeacherPublic = holds != kClassOnly;
        made->teacherPublic = teacher.pub;
        made->haveTeacherPrivate = holds == kTeachersPrivate;
        made->teacherPrivate = teacher;
        made->teacherOnly = teachersOnly;
        settings = made;
        attestor.reset(new auth::CastAttestor([this] { return settings; },
                                              [clock, clockOffset] { return kWallStart + *clock + clockOffset; },
                                              &refusals));
    }
    std::shared_ptr<const auth::Settings> settings;
    auth::Counters refusals;
    std::unique_ptr<auth::CastAttestor> attestor;
};

struct Outcome {
    bool started = false;
    bool complete = false;
    bool teachers = false;
    std::vector<uint8_t> received;
    cast::ReceiverStats stats;
    cast::SenderStats sender;
};

// What goes between the sender and the receiver: each packet the sender
// sends becomes what the network delivers instead (a student's packets
// ahead of it, a changed copy, nothing).
typedef std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t> &packet)> Between;

std::vector<std::vector<uint8_t>> AsSent(const std::vector<uint8_t> &packet)
{
    return {packet};
}

// What the sender sends now goes through `between` to the receiver, and what
// the receiver answers back to the sender.
template <typename Sender, typename Receiver>
void Exchange(Sender &sender, Receiver &receiver, const Between &between, Micros now)
{
    sender.Poll(now);
    for (const cast::Outgoing &out : sender.TakeOutgoing()) {
        for (const std::vector<uint8_t> &packet : between(out.bytes))
            receiver.OnPacket(packet.data(), packet.size(), now);
    }
    receiver.Poll(now);
    for (const cast::Outgoing &out : receiver.TakeOutgoing())
        sender.OnPacket(out.bytes.data(), out.bytes.size(), now);
}

// One sender, one receiver, until the receiver has the object or the sender
// gives up; time jumps to whichever wakes first.
Outcome Cast(const std::vector<uint8_t> &object, Machine &sending, Machine &receiving, const Between &between,
         Micros *clock)
{
    cast::SenderConfig senderConfig;
    senderConfig.blockSize = 256;
    senderConfig.groupBlocks = 16;
    senderConfig.name = "lesson.txt";
    senderConfig.expected = {7};
    senderConfig.attestor = sending.attestor.get();
    cast::ReceiverConfig receiverConfig;
    receiverConfig.id = 7;
    receiverConfig.attestor = receiving.attestor.get();
    MemorySource source(object);
    MemorySink sink;
    cast::CastSender sender(senderConfig);
    cast::CastReceiver receiver(receiverConfig, &sink);
    Outcome run;
    EXPECT_TRUE(sender.Start(1, object.size(), &source, *clock));
    const Micros limit = *clock + 60000000;
    while (!sender.Finished() && *clock < limit) {
        Exchange(sender, receiver, between, *clock);
        for (const cast::ReceiverEvent &e : receiver.TakeEvents()) {
            run.started |= e.kind == cast::ReceiverEvent::kStarted;
            if (e.kind == cast::ReceiverEvent::kComplete) {
                run.complete = true;
                run.teachers = e.teachers;
            }
        }
        const Micros wake = std::min(sender.NextWakeUp(), receiver.NextWakeUp());
        if (!sender.Finished())
            *clock = std::max(*clock + 1, std::min(wake, *clock + 1000000));
    }
    run.received = sink.bytes;
    run.stats = receiver.Stats();
    run.sender = sender.Stats();
    return run;
}

class CastAttest : public ::testing::Test {
protected:
    CastAttest()
    {
        EXPECT_TRUE(auth::RandomBytes(classKey.bytes, sizeof classKey.bytes));
    }
    auth::ClassKey classKey;
    auth::TeacherPrivateKey teacher = NewTeacherKey();
    Micros clock = 1000;
    std::vector<uint8_t> object = Pattern(5 * 16 * 256 - 100, 3);  // five groups, the last short
};

// A student holds the class key: it can send blocks in the teacher's
// transfer, but they are not the bytes the teacher signed. Its blocks and
// parity come first, so the receiver takes them before the teacher's.
TEST_F(CastAttest, ForgedBlocksInTheTeachersTransferAreDroppedAndRepaired)
{
    Machine teachers(classKey, teacher, Machine::kTeachersPrivate, false, &clock);
    Machine student(classKey, teacher, Machine::kTeachersPublic, false, &clock);
    int forged = 0;
    Between studentFirst = [&](const std::vector<uint8_t> &packet) {
        cast::Packet p;
        if (!cast::Parse(packet.data(), packet.size(), &p) || p.type != cast::kData || p.index != 2 ||
            (p.group != 0 && p.group != 3))
            return AsSent(packet);
        std::vector<uint8_t> changed = packet;
        changed.back() ^= 0x40;
        ++forged;
        return std::vector<std::vector<uint8_t>>{changed, packet};
    };
    Outcome run = Cast(object, teachers, student, studentFirst, &clock);
    EXPECT_GE(forged, 2);
    ASSERT_TRUE(run.complete);
    EXPECT_TRUE(run.teachers);
    EXPECT_EQ(run.received, object);
    EXPECT_GE(run.stats.refused, 2u);
    EXPECT_EQ(student.refusals.Of(auth::Refusal::kNoSignature), run.stats.refused);
}

// Each case: what the sender holds and does, what the receiver holds and
// takes, and what must come of it.
TEST_F(CastAttest, WhatAReceiverTakesByTheKeysItHolds)
{
    const auth::TeacherPrivateKey other = NewTeacherKey();
    struct Case {
        const char *what;
        bool senderHasTeachersKey;  // else a key of its own, posing as the teacher's
        Machine::Holds sender;
        int64_t senderClock;        // its clock against the receiver's
        Machine::Holds receiver;
        bool teachersOnly;
        bool started, complete, teachers;
        auth::Refusal counted;      // kNone: nothing refused
    };
    const int64_t hour = 3600ll * 1000 * 1000;
    const Case cases[] = {
        {"the teacher's object", true, Machine::kTeachersPrivate, 0, Machine::kTeachersPublic, true, true, true, true,
         auth::Refusal::kNone},
        {"signed with another key, only the teacher's taken", false, Machine::kTeachersPrivate, 0,
         Machine::kTeachersPublic, true, false, false, false, auth::Refusal::kNoSignature},
        {"signed with another key, the class's taken", false, Machine::kTeachersPrivate, 0, Machine::kTeachersPublic,
         false, true, true, false, auth::Refusal::kNoSignature},
        {"not attested, only the teacher's taken", true, Machine::kTeachersPublic, 0, Machine::kTeachersPublic, true,
         false, false, false, auth::Refusal::kNone},
        {"not attested, the class's taken", true, Machine::kTeachersPublic, 0, Machine::kTeachersPublic, false, true,
         true, false, auth::Refusal::kNone},
        {"attested an hour ago (a recording)", true, Machine::kTeachersPrivate, -hour, Machine::kTeachersPublic, true,
         false, false, false, auth::Refusal::kReplay},
        {"attested, the receiver without the teacher's key", true, Machine::kTeachersPrivate, 0, Machine::kClassOnly,
         false, true, true, false, auth::Refusal::kNone},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Machine sending(classKey, c.senderHasTeachersKey ? teacher : other, c.sender, false, &clock, c.senderClock);
        Machine receiving(classKey, teacher, c.receiver, c.teachersOnly, &clock);
        Outcome run = Cast(object, sending, receiving, AsSent, &clock);
        EXPECT_EQ(run.started, c.started);
        EXPECT_EQ(run.complete, c.complete);
        EXPECT_EQ(run.teachers, c.teachers);
        if (c.complete) {
            EXPECT_EQ(run.received, object);
        }
        for (int kind = 1; kind < auth::kRefusalKinds; ++kind) {
            const auth::Refusal why = static_cast<auth::Refusal>(kind);
            if (why == c.counted)
                EXPECT_GT(receiving.refusals.Of(why), 0u) << kind;
            else
                EXPECT_EQ(receiving.refusals.Of(why), 0u) << kind;
        }
    }
}

// Attestations are lost like any packet: those that went with the first
// pass are all lost here, and the digests still come, in the ones that go
// with the announcements.
TEST_F(CastAttest, DigestsLostWithTheFirstPassComeWithTheAnnouncements)
{
    Machine teachers(classKey, teacher, Machine::kTeachersPrivate, false, &clock);
    Machine student(classKey, teacher, Machine::kTeachersPublic, true, &clock);
    bool passRuns = true;
    int lost = 0;
    Between loseThePassAttestations = [&](const std::vector<uint8_t> &packet) {
        cast::Packet p;
        if (!cast::Parse(packet.data(), packet.size(), &p))
            return AsSent(packet);
        if (p.type == cast::kAnnounce)
            passRuns = p.position < p.shape.Groups();
        if (passRuns && p.type == cast::kAttest && p.digestCount > 0) {
            ++lost;
            return std::vector<std::vector<uint8_t>>();
        }
        return AsSent(packet);
    };
    Outcome run = Cast(object, teachers, student, loseThePassAttestations, &clock);
    EXPECT_GE(lost, 5);
    ASSERT_TRUE(run.complete);
    EXPECT_TRUE(run.teachers);
    EXPECT_EQ(run.received, object);
    EXPECT_GT(run.sender.attestPackets, static_cast<uint64_t>(lost));
}

struct StreamOutcome {
    std::vector<cast::StreamEvent> events;
    cast::StreamReceiverStats stats;
};

// A live stream of `messages`, one every 10 ms, to one receiver, until a
// second after the last.
StreamOutcome Stream(const std::vector<std::vector<uint8_t>> &messages, Machine &sending, Machine &receiving,
                     const Between &between, Micros *clock)
{
    cast::StreamSenderConfig senderConfig;
    senderConfig.blockSize = 256;
    senderConfig.attestor = sending.attestor.get();
    cast::StreamReceiverConfig receiverConfig;
    receiverConfig.attestor = receiving.attestor.get();
    cast::StreamSender sender(senderConfig);
    cast::StreamReceiver receiver(receiverConfig);
    StreamOutcome outcome;
    const Micros start = *clock, every = 10000;
    const Micros end = start + every * messages.size() + 1000000;
    size_t sent = 0;
    while (*clock < end) {
        for (; sent < messages.size() && *clock >= start + every * sent; ++sent)
            EXPECT_TRUE(sender.Send(messages[sent].data(), messages[sent].size(), *clock));
        Exchange(sender, receiver, between, *clock);
        for (cast::StreamEvent &e : receiver.TakeEvents())
            outcome.events.push_back(std::move(e));
        const Micros nextMessage = sent < messages.size() ? start + every * sent : cast::kNever;
        *clock = std::max(*clock + 1, std::min({sender.NextWakeUp(), receiver.NextWakeUp(), nextMessage, end}));
    }
    outcome.stats = receiver.Stats();
    return outcome;
}

// The teacher's stream (a screen): a student's blocks sent ahead of the
// teacher's never reach the host, and every message comes as the teacher
// sent it; a student signing with a key of its own reaches no receiver that
// takes only the teacher's.
TEST_F(CastAttest, AStreamIsTheTeachersMessageByMessage)
{
    std::vector<std::vector<uint8_t>> messages;
    for (int i = 0; i < 30; ++i)
        messages.push_back(Pattern(700 + 97 * i, static_cast<uint8_t>(i)));
    Machine teachers(classKey, teacher, Machine::kTeachersPrivate, false, &clock);
    Machine student(classKey, teacher, Machine::kTeachersPublic, true, &clock);
    int forged = 0;
    Between studentFirst = [&](const std::vector<uint8_t> &packet) {
        cast::Packet p;
        if (!cast::Parse(packet.data(), packet.size(), &p) || p.type != cast::kStreamData || p.index != 1 ||
            p.object % 7 != 3)
            return AsSent(packet);
        std::vector<uint8_t> changed = packet;
        changed.back() ^= 0x01;
        ++forged;
        return std::vector<std::vector<uint8_t>>{changed, packet};
    };
    StreamOutcome taken = Stream(messages, teachers, student, studentFirst, &clock);
    EXPECT_GE(forged, 4);
    ASSERT_EQ(taken.events.size(), messages.size());
    for (size_t i = 0; i < taken.events.size(); ++i) {
        EXPECT_EQ(taken.events[i].kind, cast::StreamEvent::kMessage) << i;
        EXPECT_TRUE(taken.events[i].teachers) << i;
        EXPECT_EQ(taken.events[i].bytes, messages[i]) << i;
    }
    EXPECT_GE(taken.stats.refused, static_cast<uint64_t>(forged));
    EXPECT_EQ(student.refusals.Of(auth::Refusal::kNoSignature), taken.stats.refused);

    Machine poser(classKey, NewTeacherKey(), Machine::kTeachersPrivate, false, &clock);
    Machine another(classKey, teacher, Machine::kTeachersPublic, true, &clock);
    StreamOutcome refused = Stream(messages, poser, another, AsSent, &clock);
    EXPECT_TRUE(refused.events.empty());
    EXPECT_GT(another.refusals.Of(auth::Refusal::kNoSignature), 0u);
}

}  // namespace
