// KesLanWakeUp on the private network: a receiver on the second host
// (scripts/wake-receiver.py, started by the test command) reports every wake-up
// datagram it gets back to this test, with the addresses and ports it carried.
// A case that must send nothing sends a marker wake-up afterwards: the marker
// has to be the first thing the receiver reports.
#include <string.h>

#include <string>

#include "wake_receiver.h"

namespace {

using kt::Bytes;
using kt::MagicPacket;
using kt::WakeReport;

const int kWakePort = 2304;
const BYTE kMarker[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0xAA};
const BYTE kThree[18] = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x01,   //
                         0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x02,   //
                         0xff, 0x00, 0xff, 0x00, 0xff, 0x00};

// The next report is the marker: nothing was sent since the last report.
void ExpectMarkerNext(kt::WakeReceiver *receiver)
{
    ASSERT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kMarker, 1));
    WakeReport seen;
    ASSERT_TRUE(receiver->Next(&seen)) << "the marker wake-up did not arrive";
    EXPECT_EQ(MagicPacket(kMarker), seen.payload) << "something was sent before the marker";
}

class LanWakeUp : public kt::WinsockTest {};

TEST_F(LanWakeUp, BroadcastsOneMagicPacketPerAddressFromTheGivenInterface)
{
    KT_REQUIRE_WAKE_RECEIVER();
    kt::WakeReceiver receiver;
    ASSERT_TRUE(receiver.Connect());
    ASSERT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kThree, 3));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        WakeReport seen;
        ASSERT_TRUE(receiver.Next(&seen));
        EXPECT_EQ(102u, seen.payload.size());
        EXPECT_EQ(MagicPacket(kThree + 6 * i), seen.payload);
        EXPECT_EQ(kt::Dotted(INADDR_BROADCAST), kt::Dotted(seen.destination));
        EXPECT_EQ(kWakePort, seen.destinationPort);
        EXPECT_EQ(kt::Dotted(kt::LocalVeth(0)), kt::Dotted(seen.source));
        EXPECT_EQ(0, seen.link) << "not through the link of " << kt::Dotted(kt::LocalVeth(0));
    }
    ExpectMarkerNext(&receiver);
}

TEST_F(LanWakeUp, NoEntryOpensAndClosesASocketAndSendsNothing)
{
    KT_REQUIRE_WAKE_RECEIVER();
    kt::WakeReceiver receiver;
    ASSERT_TRUE(receiver.Connect());
    EXPECT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kThree, 0));
    EXPECT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), nullptr, 0));
    ExpectMarkerNext(&receiver);
}

TEST_F(LanWakeUp, AListNotReadableOverEveryEntrySendsNothing)
{
    KT_REQUIRE_WAKE_RECEIVER();
    kt::WakeReceiver receiver;
    ASSERT_TRUE(receiver.Connect());
    kt::PageEdge edge(PAGE_NOACCESS);
    ASSERT_TRUE(edge.ok());
    // The first entry is readable, the second ends on the inaccessible page.
    BYTE *list = edge.At(10);
    memcpy(list, kThree, 10);
    EXPECT_EQ(0, KesLanWakeUp(kt::LocalVeth(0), list, 2));
    EXPECT_EQ(0, KesLanWakeUp(kt::LocalVeth(0), nullptr, 1));
    // 0x2AAAAAAB entries are 0x100000002 bytes: a size that wraps to 2 in 32 bits.
    EXPECT_EQ(0, KesLanWakeUp(kt::LocalVeth(0), kThree, 0x2AAAAAABu));
    ExpectMarkerNext(&receiver);
}

// Without the fixture: Winsock is not started when the call is made.
TEST(LanWakeUpBeforeInit, FailsAndSendsNothing)
{
    KT_REQUIRE_WAKE_RECEIVER();
    EXPECT_EQ(0, KesLanWakeUp(kt::LocalVeth(0), kThree, 3));
    ASSERT_EQ(1, KesInitInstance());
    {
        // The receiver reports on connecting whatever came before.
        kt::WakeReceiver receiver;
        ASSERT_TRUE(receiver.Connect());
        ExpectMarkerNext(&receiver);
    }
    KesExitInstance();
}

}  // namespace
