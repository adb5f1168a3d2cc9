// A live stream in the simulated network: messages at a steady rate, each
// receiver handed every message whole and in order, or told it was skipped;
// none delivered corrupt, a late joiner starting at once.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "sim_network.h"

namespace {

using cast::Micros;
using cast::StreamEvent;

sim::StreamSetup Frames(size_t count, uint64_t seed)
{
    sim::StreamSetup stream;
    std::mt19937_64 random(seed);
    for (size_t i = 0; i < count; ++i)
        stream.messages.push_back(sim::RandomBytes(1 + random() % 30000, seed * 1000 + i));
    return stream;
}

struct Tally {
    size_t delivered = 0, skipped = 0;
    uint32_t first = 0;
};

// Every event follows the one before it by one message; a delivered one is
// that message, byte for byte.
::testing::AssertionResult InOrderAndIntact(const std::vector<StreamEvent> &events,
                                            const std::vector<std::vector<uint8_t>> &messages, Tally *tally)
{
    if (events.empty())
        return ::testing::AssertionFailure() << "nothing handed over";
    tally->first = events[0].seq;
    for (size_t i = 0; i < events.size(); ++i) {
        const StreamEvent &e = events[i];
        if (e.seq != tally->first + i)
            return ::testing::AssertionFailure() << "message " << e.seq << " came " << i << "th";
        if (e.kind == StreamEvent::kSkipped) {
            ++tally->skipped;
            continue;
        }
        if (e.seq >= messages.size() || e.bytes != messages[e.seq])
            return ::testing::AssertionFailure() << "message " << e.seq << " is not what was sent";
        ++tally->delivered;
    }
    return ::testing::AssertionSuccess();
}

// The run's figures on the test's output, to be read beside the bounds.
void Report(const char *what, const sim::StreamOutcome &o)
{
    uint64_t skipped = 0, requests = 0;
    for (const cast::StreamReceiverStats &r : o.receivers) {
        skipped += r.skipped;
        requests += r.nackPackets;
    }
    printf("figures: %s: %llu messages, %llu data, %llu parity sent with them and %llu repair packets, "
           "%llu requests, %llu skipped (all receivers)\n",
           what, static_cast<unsigned long long>(o.sender.messages),
           static_cast<unsigned long long>(o.sender.dataPackets),
           static_cast<unsigned long long>(o.sender.parityPackets),
           static_cast<unsigned long long>(o.sender.repairPackets), static_cast<unsigned long long>(requests),
           static_cast<unsigned long long>(skipped));
}

// Eight students at 2 % loss, one of them joining three seconds in: every
// message arrives whole and in order (the repair window of 32 messages is a
// second), and the late joiner starts within a message of the one then sent.
TEST(CastStream, MessagesArriveWholeInOrderAndALateJoinerStartsAtOnce)
{
    sim::Setup setup = sim::Class(8, 0.02, 21);
    const Micros joinAt = 3000000;
    setup.receivers[7].joinAt = joinAt;
    sim::StreamSetup stream = Frames(300, 21);
    sim::StreamOutcome o = sim::RunStream(setup, stream);
    Report("8 receivers, loss 2 %, one joining at 3 s", o);

    for (size_t i = 0; i < setup.receivers.size(); ++i) {
        SCOPED_TRACE("receiver " + std::to_string(i));
        Tally tally;
        ASSERT_TRUE(InOrderAndIntact(o.events[i], stream.messages, &tally));
        EXPECT_EQ(0u, tally.skipped);
        if (i == 7) {
            uint32_t sentThen = static_cast<uint32_t>(joinAt / stream.every);
            EXPECT_LE(tally.first, sentThen + 1) << "the late joiner started late";
            EXPECT_EQ(stream.messages.size() - tally.first, tally.delivered);
        } else {
            EXPECT_EQ(0u, tally.first);
            EXPECT_EQ(stream.messages.size(), tally.delivered);
        }
    }
    EXPECT_GT(o.sender.repairPackets, 0u) << "nothing was repaired: was anything lost?";
}

// A student whose link is down for two seconds, longer than the sender keeps
// messages: what went meanwhile is skipped and said so, never handed over
// broken, and the stream goes on whole after it.
TEST(CastStream, MessagesLostForLongerThanTheWindowAreSkippedNotCorrupt)
{
    sim::Setup setup = sim::Class(3, 0.01, 5);
    setup.receivers[1].deafFrom = 2000000;
    setup.receivers[1].deafUntil = 4000000;
    sim::StreamSetup stream = Frames(200, 5);
    sim::StreamOutcome o = sim::RunStream(setup, stream);
    Report("3 receivers, loss 1 %, one deaf for 2 s", o);

    Tally down;
    ASSERT_TRUE(InOrderAndIntact(o.events[1], stream.messages, &down));
    EXPECT_GT(down.skipped, 20u) << "two seconds of a stream of 30 a second, less the window";
    EXPECT_EQ(stream.messages.size(), down.delivered + down.skipped);
    EXPECT_EQ(down.skipped, o.receivers[1].skipped);
    for (size_t i : {0, 2}) {
        Tally tally;
        ASSERT_TRUE(InOrderAndIntact(o.events[i], stream.messages, &tally));
        EXPECT_EQ(stream.messages.size(), tally.delivered) << "receiver " << i;
    }
}

// The stream's last message lost on one student's link: nothing follows it
// to show that it is missing, yet it is repaired (the sender's heads say
// nothing came after it), not left neither handed over nor skipped.
TEST(CastStream, TheLastMessageIsRepairedToo)
{
    sim::Setup setup = sim::Class(2, 0, 9);
    sim::StreamSetup stream = Frames(60, 9);
    const Micros last = (stream.messages.size() - 1) * stream.every;
    setup.receivers[1].deafFrom = last - 1000;
    setup.receivers[1].deafUntil = last + 20000;
    sim::StreamOutcome o = sim::RunStream(setup, stream);
    Report("2 receivers, one deaf while the last message goes", o);

    for (size_t i : {0, 1}) {
        Tally tally;
        ASSERT_TRUE(InOrderAndIntact(o.events[i], stream.messages, &tally));
        EXPECT_EQ(stream.messages.size(), tally.delivered) << "receiver " << i;
    }
    EXPECT_GT(o.sender.repairPackets, 0u) << "the deaf one's loss was repaired";
}

TEST(CastStream, MessagesTooLargeOrEmptyAreRefused)
{
    cast::StreamSender sender(cast::StreamSenderConfig{});
    std::vector<uint8_t> large(sender.MaxMessage() + 1, 1);
    EXPECT_FALSE(sender.Send(large.data(), large.size(), 0));
    EXPECT_FALSE(sender.Send(large.data(), 0, 0));
    EXPECT_TRUE(sender.Send(large.data(), sender.MaxMessage(), 0));
    EXPECT_EQ(1u, sender.Stats().messages);
}

}  // namespace
