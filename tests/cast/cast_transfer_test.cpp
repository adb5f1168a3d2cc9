// Whole transfers in the simulated network: every receiver that stays gets
// the object byte for byte, the sender's table says who has it and who fell
// away, and repair stays small where the design promises it.
#include <gtest/gtest.h>

#include <stdio.h>

#include <functional>
#include <string>

#include "sim_network.h"

namespace {

using cast::Micros;
using cast::ReceiverState;
using sim::Class;

const size_t kMiB = 1024 * 1024;

double RepairShare(const sim::Outcome &o)
{
    return static_cast<double>(o.sender.repairPackets) / o.sender.dataPackets;
}

std::string Describe(const sim::Outcome &o)
{
    size_t whole = 0;
    for (bool w : o.whole)
        whole += w;
    char share[32];
    snprintf(share, sizeof share, "%.2f", 100 * RepairShare(o));
    return std::to_string(whole) + " of " + std::to_string(o.whole.size()) + " whole, finished " +
           (o.finished ? "at " + std::to_string(o.finishedAt / 1000) + " ms" : "never") + ", " +
           std::to_string(o.sender.dataPackets) + " data and " + std::to_string(o.sender.repairPackets) +
           " repair packets (" + share + " % of the data), " + std::to_string(o.linkDrops) +
           " lost on the receivers' links, " + std::to_string(o.nackPackets) + " requests, " +
           std::to_string(o.uplinkDrops) + " dropped at the sender's link" +
           (o.sharedDrops == 0 ? std::string()
                               : ", " + std::to_string(o.sharedDrops) + " lost before the copying, from " +
                                     std::to_string(o.sharedLossGroups) + " groups");
}

// The run's figures on the test's output, to be read beside the bounds.
void Report(const std::string &what, const sim::Outcome &o)
{
    printf("figures: %s: %s\n", what.c_str(), Describe(o).c_str());
}

::testing::AssertionResult EveryoneHasIt(const sim::Outcome &o)
{
    if (!o.finished)
        return ::testing::AssertionFailure() << Describe(o);
    for (size_t i = 0; i < o.whole.size(); ++i) {
        auto entry = o.table.find(sim::Outcome::IdOf(i));
        if (!o.whole[i] || entry == o.table.end() || entry->second.state != ReceiverState::kComplete)
            return ::testing::AssertionFailure() << "receiver " << i << ": " << Describe(o);
    }
    return ::testing::AssertionSuccess() << Describe(o);
}

// Independent loss on every receiver's link, from none to a fifth.
TEST(CastTransfer, EveryReceiverGetsTheObjectWholeAtAnyLoss)
{
    struct Case {
        size_t receivers;
        double loss;
        size_t bytes;
    };
    const Case cases[] = {{1, 0, 3 * kMiB + 123}, {8, 0.02, 2 * kMiB}, {60, 0.02, kMiB},
                          {60, 0.10, kMiB},        {60, 0.20, kMiB},   {1, 0.20, 2 * kMiB}};
    for (const Case &c : cases) {
        const std::string what = std::to_string(c.receivers) + " receivers, " + std::to_string(c.bytes) +
                                 " bytes, loss " + std::to_string(static_cast<int>(c.loss * 100)) + " %";
        SCOPED_TRACE(what);
        std::vector<uint8_t> object = sim::RandomBytes(c.bytes, c.receivers);
        sim::Setup setup = Class(c.receivers, c.loss);
        setup.sender.name = "lesson " + std::to_string(c.receivers) + ".bin";
        sim::Outcome o = sim::Run(setup, object);
        Report(what, o);
        EXPECT_TRUE(EveryoneHasIt(o));
        for (const std::string &name : o.names)
            EXPECT_EQ(setup.sender.name, name) << "the receivers know the object by its name";
        if (c.loss == 0) {
            EXPECT_EQ(0u, o.sender.repairPackets + o.nackPackets) << "nothing lost, nothing asked for";
        }
    }
}

// 30 receivers each losing 2 %: almost every group is missed by someone, and
// one parity block repairs a different block for each receiver; what goes
// again is at most 5 % of the object, and the requests stay few: far fewer
// than one per receiver per group.
TEST(CastTransfer, RepairAtThirtyReceiversAndTwoPercentStaysUnderFivePercent)
{
    std::vector<uint8_t> object = sim::RandomBytes(8 * kMiB, 30);
    double shares = 0;
    const int kSeeds = 3;
    for (int seed = 1; seed <= kSeeds; ++seed) {
        sim::Outcome o = sim::Run(Class(30, 0.02, seed), object);
        Report("30 receivers, 8 MiB, loss 2 %, seed " + std::to_string(seed), o);
        EXPECT_TRUE(EveryoneHasIt(o)) << "seed " << seed;
        shares += RepairShare(o);
        uint64_t groups = (o.sender.dataPackets + 191) / 192;
        EXPECT_LT(o.nackPackets, groups * 30 / 4) << Describe(o);
    }
    EXPECT_LE(shares / kSeeds, 0.05) << "repair share " << shares / kSeeds;
}

// Blocks lost before the network copies them to the class: every receiver
// misses the same ones. One request a group answers all sixty (the others
// hear it and keep quiet), and the sender sends for a group as many parity
// blocks as it lost, not as many for each receiver.
TEST(CastTransfer, BlocksTheWholeClassMissedCostOneRequestNotOneAReceiver)
{
    for (uint64_t seed : {1, 2}) {
        sim::Setup setup = Class(60, 0, seed);
        setup.sharedLoss = 0.02;
        sim::Outcome o = sim::Run(setup, sim::RandomBytes(2 * kMiB, seed));
        Report("60 receivers, 2 MiB, 2 % lost before the copying, seed " + std::to_string(seed), o);
        EXPECT_TRUE(EveryoneHasIt(o));
        ASSERT_GT(o.sharedLossGroups, 0u);
        EXPECT_LE(o.nackPackets, 2 * o.sharedLossGroups) << Describe(o);
        EXPECT_LE(o.sender.repairPackets, o.sharedDrops + o.sharedLossGroups) << Describe(o);
    }
}

// The ways a classroom's network and machines misbehave, one at a time.
TEST(CastTransfer, TheClassGetsItWholeWhateverItsLinksDo)
{
    struct Case {
        const char *what;
        std::function<void(sim::Setup &)> change;
    };
    const Case cases[] = {
        {"losses in bursts", [](sim::Setup &s) {
             for (sim::Member &m : s.receivers) {
                 m.link.burstStart = 0.005;
                 m.link.burstEnd = 0.1;
             }
         }},
        {"reordering and duplicates", [](sim::Setup &s) {
             for (sim::Member &m : s.receivers) {
                 m.link.loss = 0.02;
                 m.link.reorder = 0.05;
                 m.link.duplicate = 0.05;
             }
         }},
        // The first pass of 2 MiB takes some 190 ms.
        {"a receiver that joins half way", [](sim::Setup &s) { s.receivers[3].joinAt = 90000; }},
        {"a sender that starts again half way", [](sim::Setup &s) { s.restartSenderAt = 90000; }},
        {"malformed packets among the good", [](sim::Setup &s) { s.garbage = 0.05; }},
        {"a sender's link that queues little (losses before replication)", [](sim::Setup &s) {
             s.uplinkQueueBytes = 8 * 1024;
             s.uplinkBitsPerSecond = 60e6;
         }},
    };
    std::vector<uint8_t> object = sim::RandomBytes(2 * kMiB, 5);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Setup setup = Class(10, 0.01, 11);
        c.change(setup);
        sim::Outcome o = sim::Run(setup, object);
        Report(std::string("10 receivers, 2 MiB, ") + c.what, o);
        EXPECT_TRUE(EveryoneHasIt(o));
    }
}

// A receiver that dies is dropped as fallen silent; one whose link loses
// half of everything either gets the object or is dropped as unable to keep
// up; neither holds the rest of the class, which has it about as soon as a
// class without them.
TEST(CastTransfer, ReceiversThatGoOrCannotKeepUpDoNotHoldTheClass)
{
    std::vector<uint8_t> object = sim::RandomBytes(2 * kMiB, 6);
    Micros clean = 0;
    {
        sim::Outcome o = sim::Run(Class(10, 0.01, 3), object);
        ASSERT_TRUE(EveryoneHasIt(o));
        for (Micros at : o.completeAt)
            clean = std::max(clean, at);
    }
    sim::Setup setup = Class(10, 0.01, 3);
    setup.receivers[0].dieAt = 150000;
    setup.receivers[1].link.loss = 0.5;
    sim::Outcome o = sim::Run(setup, object);
    Report("10 receivers, 2 MiB, one dies, one at 50 % loss", o);
    ASSERT_TRUE(o.finished) << Describe(o);
    const cast::ReceiverStatus &dead = o.table.at(sim::Outcome::IdOf(0));
    EXPECT_EQ(ReceiverState::kDropped, dead.state);
    EXPECT_STREQ("fell silent", dead.why);
    const cast::ReceiverStatus &slow = o.table.at(sim::Outcome::IdOf(1));
    EXPECT_TRUE(o.whole[1] ? slow.state == ReceiverState::kComplete
                           : slow.state == ReceiverState::kDropped && std::string(slow.why) == "could not keep up");
    for (size_t i = 2; i < o.whole.size(); ++i) {
        EXPECT_TRUE(o.whole[i]) << "receiver " << i;
        EXPECT_LT(o.completeAt[i], 2 * clean) << "receiver " << i << " was held";
    }
}

// A class list: a receiver that never comes is reported absent, and the
// transfer ends without it.
TEST(CastTransfer, AnExpectedReceiverThatNeverComesIsAbsent)
{
    sim::Setup setup = Class(3, 0.01, 4);
    setup.sender.expected = {sim::Outcome::IdOf(0), sim::Outcome::IdOf(1), sim::Outcome::IdOf(2), 4242};
    sim::Outcome o = sim::Run(setup, sim::RandomBytes(kMiB, 4));
    ASSERT_TRUE(o.finished) << Describe(o);
    EXPECT_EQ(ReceiverState::kAbsent, o.table.at(4242).state);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(ReceiverState::kComplete, o.table.at(sim::Outcome::IdOf(i)).state);
}

}  // namespace
