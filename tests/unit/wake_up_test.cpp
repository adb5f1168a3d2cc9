// KesWakeUp and KesGetInterfaces in the private network: this host has two
// links (10.77.1.1/24 and 10.77.2.1/24), and the wake-up receiver on the
// second host, at the far end of both, reports every datagram it gets with the
// link it came in on. Each case compares everything that arrived with what
// had to; a marker wake-up afterwards must be the next thing reported, so
// nothing else was sent.
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "wake_receiver.h"

namespace {

using kt::Bytes;
using kt::MagicPacket;
using kt::WakeReport;

const int kDefaultPort = 9;
const BYTE kMarker[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0xBB};
const BYTE kTwo[12] = {0x00, 0x1b, 0x21, 0x0a, 0x0b, 0x01,  //
                       0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5};
const Bytes kSixBytePassword = {0x53, 0x65, 0x63, 0x72, 0x65, 0x74};
const Bytes kFourBytePassword = {0xC0, 0xA8, 0x01, 0x02};

DWORD DirectedBroadcast(int link)
{
    return kt::LocalVeth(link) | kt::Addr("0.0.0.255");
}

std::string Hex(const BYTE *bytes, size_t n, const char *separator)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(hex, sizeof hex, "%s%02x", i ? separator : "", bytes[i]);
        text += hex;
    }
    return text;
}

// A payload that is exactly a magic packet, with or without a password, is
// named by its hardware address and password; any other is shown whole.
std::string DescribePayload(const Bytes &payload)
{
    std::string text = std::to_string(payload.size()) + " bytes, ";
    if (payload.size() >= 102) {
        Bytes password(payload.begin() + 102, payload.end());
        if (payload == MagicPacket(&payload[6], password) && (password.empty() || password.size() == 4 || password.size() == 6))
            return text + "magic packet for " + Hex(&payload[6], 6, ":") +
                   (password.empty() ? "" : ", password " + Hex(password.data(), password.size(), " "));
    }
    return text + "not a magic packet: " + Hex(payload.data(), payload.size(), " ");
}

// One datagram in a form that sorts and prints well.
std::string Describe(DWORD destination, int port, DWORD source, int link, const Bytes &payload)
{
    return kt::Dotted(source) + " -> " + kt::Dotted(destination) + ":" + std::to_string(port) + " via link " +
           std::to_string(link) + ", " + DescribePayload(payload);
}

std::string Describe(const WakeReport &r)
{
    return Describe(r.destination, r.destinationPort, r.source, r.link, r.payload);
}

// What a call must send: per round, per link, per entry, to the link's
// directed broadcast address and, when asked, to 255.255.255.255.
std::vector<std::string> Expected(const tagParamWake &param, const std::vector<int> &links, const BYTE *list,
                                  int entries)
{
    Bytes password(param.byPassword, param.byPassword + param.nPasswordLength);
    std::vector<std::string> all;
    for (int round = 0; round < param.nRepeat; ++round)
        for (int link : links)
            for (int e = 0; e < entries; ++e) {
                Bytes packet = MagicPacket(list + 6 * e, password);
                all.push_back(Describe(DirectedBroadcast(link), param.nPort, kt::LocalVeth(link), link, packet));
                if (param.bLimitedBroadcast)
                    all.push_back(Describe(INADDR_BROADCAST, param.nPort, kt::LocalVeth(link), link, packet));
            }
    std::sort(all.begin(), all.end());
    return all;
}

tagParamWake Named(std::vector<DWORD> locals)
{
    tagParamWake param;
    for (size_t i = 0; i < locals.size(); ++i)
        param.dwLocalAddr[i] = locals[i];
    param.nCount = static_cast<int>(locals.size());
    return param;
}

class WakeUp : public kt::WinsockTest {
protected:
    // Connects to the receiver, which listens on the default port from now on.
    bool Connect() { return m_receiver.Connect() && m_receiver.Listen(kDefaultPort); }

    // The next report is the marker, sent through the first link to the
    // default port: nothing else was sent since the last report.
    // Nothing else went out: a marker wake-up sent now is the next one the
    // receiver sees.
    ::testing::AssertionResult MarkerNext()
    {
        tagParamWake marker = Named({kt::LocalVeth(0)});
        if (KesWakeUp(&marker, kMarker, 1) != 1)
            return ::testing::AssertionFailure() << "the marker wake-up was not sent";
        WakeReport seen;
        if (!m_receiver.Next(&seen))
            return ::testing::AssertionFailure() << "the marker wake-up did not arrive";
        if (MagicPacket(kMarker) != seen.payload)
            return ::testing::AssertionFailure() << "something else was sent: " << Describe(seen);
        return ::testing::AssertionSuccess();
    }

    kt::WakeReceiver m_receiver;
};

struct SendCase {
    const char *name;
    tagParamWake param;
    std::vector<int> links;  // the links the packets must go through
};

std::vector<SendCase> SendCases()
{
    std::vector<SendCase> cases;
    cases.push_back({"the defaults: every interface, port 9, once, no password", tagParamWake(), {0, 1}});

    SendCase everywhere = {"a 6-byte password, 255.255.255.255 too, port 7, three rounds", tagParamWake(), {0, 1}};
    everywhere.param.nPort = 7;
    everywhere.param.bLimitedBroadcast = TRUE;
    everywhere.param.nPasswordLength = 6;
    memcpy(everywhere.param.byPassword, kSixBytePassword.data(), 6);
    everywhere.param.nRepeat = 3;
    everywhere.param.dwRepeatGap = 10;
    cases.push_back(everywhere);

    SendCase second = {"a 4-byte password through the second interface only, port 2304, twice",
                       Named({kt::LocalVeth(1)}), {1}};
    second.param.nPort = 2304;
    second.param.nPasswordLength = 4;
    memcpy(second.param.byPassword, kFourBytePassword.data(), 4);
    second.param.byPassword[4] = 0xEE;  // beyond the length: never sent
    second.param.nRepeat = 2;
    cases.push_back(second);

    SendCase both = {"both interfaces named, 255.255.255.255 too, no gap", Named({kt::LocalVeth(1), kt::LocalVeth(0)}),
                     {1, 0}};
    both.param.bLimitedBroadcast = TRUE;
    both.param.nRepeat = 2;
    both.param.dwRepeatGap = 0;
    cases.push_back(both);
    return cases;
}

TEST_F(WakeUp, SendsEachPacketThroughEachInterfaceToItsSubnetWithTheExactBytes)
{
    KT_REQUIRE_WAKE_RECEIVER();
    ASSERT_TRUE(Connect());
    for (const SendCase &c : SendCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_receiver.Listen(c.param.nPort));
        std::vector<std::string> expected = Expected(c.param, c.links, kTwo, 2);
        EXPECT_EQ(static_cast<int>(expected.size()), KesWakeUp(&c.param, kTwo, 2));
        std::vector<std::string> arrived;
        WakeReport seen;
        while (arrived.size() < expected.size() && m_receiver.Next(&seen))
            arrived.push_back(Describe(seen));
        std::sort(arrived.begin(), arrived.end());
        EXPECT_EQ(expected, arrived);
        EXPECT_TRUE(MarkerNext());
    }
}

TEST_F(WakeUp, TheInterfacesAreThisHostsTwoLinksWithTheirMasks)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    DWORD addr[3] = {1, 1, 1}, mask[3] = {1, 1, 1};
    ASSERT_EQ(2, KesGetInterfaces(addr, mask, 3));
    std::vector<std::string> listed = {kt::Dotted(addr[0]) + "/" + kt::Dotted(mask[0]),
                                       kt::Dotted(addr[1]) + "/" + kt::Dotted(mask[1])};
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ((std::vector<std::string>{"10.77.1.1/255.255.255.0", "10.77.2.1/255.255.255.0"}), listed);
    EXPECT_EQ(1u, addr[2]) << "written beyond the interfaces";

    DWORD first = 0;
    EXPECT_EQ(2, KesGetInterfaces(&first, nullptr, 1)) << "the count of all, also when fewer fit";
    EXPECT_EQ(addr[0], first);
    EXPECT_EQ(2, KesGetInterfaces(nullptr, nullptr, 0));
}

// Every case returns 0 and sends nothing.
TEST_F(WakeUp, BadInputSendsNothing)
{
    KT_REQUIRE_WAKE_RECEIVER();
    ASSERT_TRUE(Connect());
    kt::PageEdge edge(PAGE_NOACCESS);
    ASSERT_TRUE(edge.ok());
    tagParamWake good;
    // A record whose last byte lies on the inaccessible page.
    BYTE *cutRecord = edge.At(sizeof good - 1);
    memcpy(cutRecord, &good, sizeof good - 1);
    auto with = [](std::function<void(tagParamWake *)> change) {
        tagParamWake param;
        change(&param);
        return param;
    };
    auto call = [](tagParamWake param, const BYTE *list = kTwo, DWORD count = 2) {
        return [=]() -> long { return KesWakeUp(&param, list, count); };
    };
    // Each is refused, and sends nothing: the marker sent next is the next
    // wake-up the receiver sees.
    std::vector<kt::Row> rows = {
        {"null record", [] { return KesWakeUp(nullptr, kTwo, 2); }, 0},
        {"record on an inaccessible page", [&] { return KesWakeUp(reinterpret_cast<tagParamWake *>(edge.At(0)), kTwo, 2); }, 0},
        {"record one byte short", [&] { return KesWakeUp(reinterpret_cast<tagParamWake *>(cutRecord), kTwo, 2); }, 0},
        {"null list, one entry", call(good, nullptr, 1), 0},
        {"list one byte short of two entries", [&] {
             memcpy(edge.At(11), kTwo, 11);
             return KesWakeUp(&good, edge.At(11), 2);
         }, 0},
        // 0x2AAAAAAB entries are 0x100000002 bytes: a size that wraps to 2 in 32 bits.
        {"a count whose byte size wraps to 2", call(good, kTwo, 0x2AAAAAABu), 0},
        {"no entry", call(good, kTwo, 0), 0},
        {"nCount -1", call(with([](tagParamWake *p) { p->nCount = -1; })), 0},
        {"nCount 9", call(with([](tagParamWake *p) { p->nCount = 9; })), 0},
        {"port 0", call(with([](tagParamWake *p) { p->nPort = 0; })), 0},
        {"port 65536", call(with([](tagParamWake *p) { p->nPort = 65536; })), 0},
        {"port -1", call(with([](tagParamWake *p) { p->nPort = -1; })), 0},
        {"a 3-byte password", call(with([](tagParamWake *p) { p->nPasswordLength = 3; })), 0},
        {"a 5-byte password", call(with([](tagParamWake *p) { p->nPasswordLength = 5; })), 0},
        {"an 8-byte password", call(with([](tagParamWake *p) { p->nPasswordLength = 8; })), 0},
        {"a password of -4 bytes", call(with([](tagParamWake *p) { p->nPasswordLength = -4; })), 0},
        {"no round", call(with([](tagParamWake *p) { p->nRepeat = 0; })), 0},
        {"21 rounds", call(with([](tagParamWake *p) { p->nRepeat = 21; })), 0},
        {"-1 rounds", call(with([](tagParamWake *p) { p->nRepeat = -1; })), 0},
        {"a gap of 1001 ms", call(with([](tagParamWake *p) { p->dwRepeatGap = 1001; })), 0},
        {"an interface the host does not have", call(Named({kt::Addr("10.99.99.99")})), 0},
        {"loopback", call(Named({kt::Loopback()})), 0},
        {"any interface (0.0.0.0)", call(Named({0})), 0},
        {"the second named interface unknown", call(Named({kt::LocalVeth(0), kt::Addr("10.77.2.2")})), 0},
    };
    for (kt::Row &row : rows)
        row.then = [this] { return MarkerNext(); };
    kt::ExpectRows(rows);
}

// With nothing to send the call returns at once: 20 rounds a second apart
// would take 19 s.
TEST_F(WakeUp, NoEntryReturnsWithoutWaitingOutTheRounds)
{
    tagParamWake param;
    param.nRepeat = 20;
    param.dwRepeatGap = 1000;
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(0, KesWakeUp(&param, kTwo, 0));
    EXPECT_LT(GetTickCount64() - start, 5000u) << "waited between rounds with nothing to send";
}

// Without the fixture: Winsock is not started when the call is made. The
// call and the marker go to port 2304, on which the receiver always listens
// and keeps what comes while no test is connected.
TEST(WakeUpBeforeInit, FailsAndSendsNothing)
{
    KT_REQUIRE_WAKE_RECEIVER();
    tagParamWake param;
    param.nPort = 2304;
    EXPECT_EQ(0, KesWakeUp(&param, kTwo, 2));
    ASSERT_EQ(1, KesInitInstance());
    {
        kt::WakeReceiver receiver;
        ASSERT_TRUE(receiver.Connect());
        tagParamWake marker = Named({kt::LocalVeth(0)});
        marker.nPort = 2304;
        ASSERT_EQ(1, KesWakeUp(&marker, kMarker, 1));
        WakeReport seen;
        ASSERT_TRUE(receiver.Next(&seen));
        EXPECT_EQ(MagicPacket(kMarker), seen.payload) << "something was sent before the marker: " << Describe(seen);
    }
    KesExitInstance();
}

}  // namespace
