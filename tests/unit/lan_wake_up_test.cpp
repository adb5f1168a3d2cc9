// KesLanWakeUp on the private network: a receiver on the second host
// (scripts/wake-receiver.py, started by the test command) reports every wake-up
// datagram it gets back to this test, with the addresses and ports it carried.
// A case that must send nothing sends a marker wake-up afterwards: the marker
// has to be the first thing the receiver reports.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

typedef std::vector<BYTE> Bytes;

const int kWakePort = 2304;
const BYTE kMarker[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0xAA};
const BYTE kThree[18] = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x01,   //
                         0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x02,   //
                         0xff, 0x00, 0xff, 0x00, 0xff, 0x00};

Bytes MagicPacket(const BYTE *address)
{
    Bytes packet(6, 0xFF);
    for (int i = 0; i < 16; ++i)
        packet.insert(packet.end(), address, address + 6);
    return packet;
}

// One datagram as the second host saw it.
struct Seen {
    DWORD destination = 0;
    DWORD source = 0;
    int sourcePort = 0;
    int destinationPort = 0;
    Bytes payload;
};

bool ReceiverAddress(DWORD *addr, int *port)
{
    const char *s = getenv("KESNET_WAKE_RECEIVER");
    if (!kt::InPrivateNetwork() || s == nullptr)
        return false;
    std::string text = s;
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    *addr = kt::Addr(text.substr(0, colon).c_str());
    *port = atoi(text.c_str() + colon + 1);
    return true;
}

#define REQUIRE_WAKE_RECEIVER()                                                                     \
    do {                                                                                            \
        DWORD receiverAddr;                                                                         \
        int receiverPort;                                                                           \
        if (!ReceiverAddress(&receiverAddr, &receiverPort))                                         \
            GTEST_SKIP() << "needs the private network of the test command (run as root) and its " \
                            "wake-up receiver: broadcasts stay inside it";                          \
    } while (0)

// The test's line to the receiver: announces itself, then takes the reports.
class Receiver {
public:
    Receiver() : m_socket(kt::LocalVeth(0)) {}
    ~Receiver()
    {
        if (m_connected)
            m_socket.SendTo("bye", 3, m_addr, m_port);
    }

    bool Connect()
    {
        kt::Datagram ready;
        m_connected = ReceiverAddress(&m_addr, &m_port) && m_socket.ok() && m_socket.SendTo("report", 6, m_addr, m_port) &&
                      m_socket.Receive(&ready) && std::string(ready.data.begin(), ready.data.end()).rfind("ready", 0) == 0;
        return m_connected;
    }

    bool Next(Seen *seen)
    {
        kt::Datagram d;
        if (!m_socket.Receive(&d) || d.data.size() < 12)
            return false;
        const BYTE *p = d.data.data();
        memcpy(&seen->destination, p, 4);
        memcpy(&seen->source, p + 4, 4);
        seen->sourcePort = p[8] << 8 | p[9];
        seen->destinationPort = p[10] << 8 | p[11];
        seen->payload.assign(p + 12, p + d.data.size());
        return true;
    }

    // The next report is the marker: nothing was sent since the last report.
    void ExpectMarkerNext()
    {
        ASSERT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kMarker, 1));
        Seen seen;
        ASSERT_TRUE(Next(&seen)) << "the marker wake-up did not arrive";
        EXPECT_EQ(MagicPacket(kMarker), seen.payload) << "something was sent before the marker";
    }

private:
    kt::RawUdp m_socket;
    DWORD m_addr = 0;
    int m_port = 0;
    bool m_connected = false;
};

class LanWakeUp : public kt::WinsockTest {};

TEST_F(LanWakeUp, BroadcastsOneMagicPacketPerAddressFromTheGivenInterface)
{
    REQUIRE_WAKE_RECEIVER();
    Receiver receiver;
    ASSERT_TRUE(receiver.Connect());
    ASSERT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kThree, 3));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        Seen seen;
        ASSERT_TRUE(receiver.Next(&seen));
        EXPECT_EQ(102u, seen.payload.size());
        EXPECT_EQ(MagicPacket(kThree + 6 * i), seen.payload);
        EXPECT_EQ(kt::Dotted(INADDR_BROADCAST), kt::Dotted(seen.destination));
        EXPECT_EQ(kWakePort, seen.destinationPort);
        EXPECT_EQ(kt::Dotted(kt::LocalVeth(0)), kt::Dotted(seen.source));
    }
    receiver.ExpectMarkerNext();
}

TEST_F(LanWakeUp, NoEntryOpensAndClosesASocketAndSendsNothing)
{
    REQUIRE_WAKE_RECEIVER();
    Receiver receiver;
    ASSERT_TRUE(receiver.Connect());
    EXPECT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), kThree, 0));
    EXPECT_EQ(1, KesLanWakeUp(kt::LocalVeth(0), nullptr, 0));
    receiver.ExpectMarkerNext();
}

TEST_F(LanWakeUp, AListNotReadableOverEveryEntrySendsNothing)
{
    REQUIRE_WAKE_RECEIVER();
    Receiver receiver;
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
    receiver.ExpectMarkerNext();
}

// Without the fixture: Winsock is not started when the call is made.
TEST(LanWakeUpBeforeInit, FailsAndSendsNothing)
{
    REQUIRE_WAKE_RECEIVER();
    EXPECT_EQ(0, KesLanWakeUp(kt::LocalVeth(0), kThree, 3));
    ASSERT_EQ(1, KesInitInstance());
    {
        // The receiver reports on connecting whatever came before.
        Receiver receiver;
        ASSERT_TRUE(receiver.Connect());
        receiver.ExpectMarkerNext();
    }
    KesExitInstance();
}

}  // namespace
