// CKesSend3: one socket per local interface, each datagram sent through all.
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "datagram/udp_socket.h"
#include "test_support.h"

namespace {

const char *kGroup = "239.77.3.1";

tagParamSend3 Send3Params(const std::vector<DWORD> &locals, DWORD dest, int port, int mode = KES_MODE_UNICAST)
{
    tagParamSend3 param;
    param.nMode = mode;
    for (size_t i = 0; i < locals.size() && i < 8; ++i)
        param.dwLocalAddr[i] = locals[i];
    param.nCount = static_cast<int>(locals.size());
    param.dwDestAddr = dest;
    param.nDestPort = port;
    return param;
}

int SendText(CKesSend3 *sender, const std::string &text, DWORD addr = 0, int port = 0)
{
    return sender->Send(reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
                        static_cast<unsigned long>(text.size()), addr, static_cast<unsigned short>(port));
}

int SlotPort(const CKesSend3 &sender, int i)
{
    return kt::BoundPort(sender.m_pSocket[i]->GetSocket());
}

// Receives n datagrams (each wait bounded), then sends a sentinel to the
// receiver through `sentinelTo` and adds whatever else arrives before it: a
// copy too many shows up there. Waiting for the n first keeps the check sound
// when the kernel delivers the copies on another CPU after the sentinel.
std::vector<kt::Datagram> ReceiveExactly(kt::RawUdp *receiver, size_t n, DWORD sentinelTo)
{
    static const std::string kSentinel = "sentinel";
    std::vector<kt::Datagram> got;
    kt::Datagram d;
    while (got.size() < n && receiver->Receive(&d))
        got.push_back(d);
    kt::RawUdp sentinel;
    EXPECT_TRUE(sentinel.SendTo(kSentinel.data(), static_cast<int>(kSentinel.size()), sentinelTo, receiver->port()));
    while (receiver->Receive(&d)) {
        if (kt::Text(d) == kSentinel && d.port == sentinel.port())
            return got;
        got.push_back(d);
    }
    ADD_FAILURE() << "the sentinel did not arrive";
    return got;
}

std::set<std::pair<DWORD, int>> Sources(const std::vector<kt::Datagram> &all)
{
    std::set<std::pair<DWORD, int>> sources;
    for (const kt::Datagram &d : all)
        sources.insert({d.addr, d.port});
    return sources;
}

using KesSend3 = kt::WinsockTest;

// Under Wine a socket bound to a loopback address other than 127.0.0.1 sends
// from 127.0.0.1, so on loopback the copies differ only in their source port:
// one per socket. Distinct source addresses are checked inside the private
// network, with multicast below.
TEST_F(KesSend3, EachDatagramGoesOutOnceThroughEverySocket)
{
    kt::RawUdp receiver;
    ASSERT_TRUE(receiver.ok());
    CKesSend3 sender;
    tagParamSend3 param = Send3Params({kt::Loopback(), kt::Addr("127.0.0.2")}, kt::Loopback(), receiver.port());
    ASSERT_EQ(1, sender.InitInstance(&param));
    ASSERT_NE(SlotPort(sender, 0), SlotPort(sender, 1));

    EXPECT_EQ(1, SendText(&sender, "to the record's destination"));
    EXPECT_EQ(1, SendText(&sender, "to the given one", kt::Loopback(), receiver.port()));
    std::multiset<std::pair<std::string, int>> got;
    for (const kt::Datagram &d : ReceiveExactly(&receiver, 4, kt::Loopback()))
        got.insert({kt::Text(d), d.port});
    std::multiset<std::pair<std::string, int>> expected;
    for (const char *text : {"to the record's destination", "to the given one"})
        for (int i = 0; i < 2; ++i)
            expected.insert({text, SlotPort(sender, i)});
    EXPECT_EQ(expected, got);
    sender.Release();
}

// In multicast mode every socket joins the group on its own interface and sends
// through it. Copies of group datagrams that leave an interface come back to
// this host only when the interface is a member, so a plain receiver on the
// port that joined nothing sees one copy per interface, from its address.
TEST_F(KesSend3, MulticastJoinsAndLeavesThroughEveryInterface)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    DWORD group = kt::Addr(kGroup);
    kt::RawUdp receiver(0, kt::FreeUdpPort());
    ASSERT_TRUE(receiver.ok());
    CKesSend3 sender;
    tagParamSend3 param = Send3Params({kt::LocalVeth(0), kt::LocalVeth(1)}, group, receiver.port(), KES_MODE_MULTICAST);
    ASSERT_EQ(1, sender.InitInstance(&param));

    EXPECT_EQ(1, SendText(&sender, "to the whole class"));
    std::vector<kt::Datagram> got = ReceiveExactly(&receiver, 2, kt::Loopback());
    std::set<std::pair<DWORD, int>> expected = {{kt::LocalVeth(0), SlotPort(sender, 0)},
                                                {kt::LocalVeth(1), SlotPort(sender, 1)}};
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(expected, Sources(got));

    // Another program's group datagrams now come back on both interfaces too.
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("group datagram out of " + kt::Dotted(kt::LocalVeth(i)));
        kt::RawUdp other(0);
        ASSERT_TRUE(other.SetMulticastInterface(kt::LocalVeth(i)));
        ASSERT_TRUE(other.SendTo("member?", 7, group, receiver.port()));
        std::vector<kt::Datagram> back = ReceiveExactly(&receiver, 1, kt::Loopback());
        ASSERT_EQ(1u, back.size());
        EXPECT_EQ("member?", kt::Text(back[0]));
    }
    sender.Release();
}

TEST_F(KesSend3, ModesOtherThanUnicastAndMulticastOpenSocketsButSendNothing)
{
    for (int mode : {0, 3}) {
        SCOPED_TRACE("nMode " + std::to_string(mode));
        kt::RawUdp receiver;
        CKesSend3 sender;
        tagParamSend3 param = Send3Params({kt::Loopback(), kt::Loopback()}, kt::Loopback(), receiver.port(), mode);
        ASSERT_EQ(1, sender.InitInstance(&param));
        EXPECT_NE(nullptr, sender.m_pSocket[0]);
        EXPECT_NE(nullptr, sender.m_pSocket[1]);
        EXPECT_EQ(1, SendText(&sender, "nothing goes out"));
        EXPECT_TRUE(ReceiveExactly(&receiver, 0, kt::Loopback()).empty());
        sender.Release();
    }
}

TEST_F(KesSend3, UnreadableRecordIsRefusedAndNullKeepsTheRecordHeld)
{
    CKesSend3 sender;
    EXPECT_EQ(0, sender.InitInstance(reinterpret_cast<tagParamSend3 *>(16)));
    EXPECT_EQ(0, sender.InitInstance(nullptr)) << "the constructor's record has nCount 0";

    kt::RawUdp receiver;
    sender.m_param = Send3Params({kt::Loopback()}, kt::Loopback(), receiver.port());
    ASSERT_EQ(1, sender.InitInstance(nullptr));
    EXPECT_EQ(1, SendText(&sender, "held"));
    std::vector<kt::Datagram> got = ReceiveExactly(&receiver, 1, kt::Loopback());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("held", kt::Text(got[0]));
    sender.Release();
}

// A failure on any slot gives back the slots before it: the sender is as
// before the call. Here slot k cannot join the group, because its address is
// not one of this host's (under Wine binding such an address succeeds).
TEST_F(KesSend3, FailureOnAnySlotGivesBackTheSlotsBeforeIt)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    for (int k : {0, 1, 2, 7}) {
        SCOPED_TRACE("failing slot " + std::to_string(k));
        std::vector<DWORD> locals = kt::LocalVethsThenForeign(k);
        tagParamSend3 param = Send3Params(locals, kt::Addr(kGroup), 9, KES_MODE_MULTICAST);
        CKesSend3 sender;
        EXPECT_EQ(0, sender.InitInstance(&param));
        for (CUdpSocket *slot : sender.m_pSocket)
            EXPECT_EQ(nullptr, slot);
        EXPECT_EQ(0, SendText(&sender, "x"));
    }
}

// Only Release gives the sockets back: a destroyed sender leaves them to its
// member-wise copy, which can still send and then releases them.
TEST_F(KesSend3, OnlyReleaseGivesTheSocketsBack)
{
    kt::RawUdp receiver;
    std::unique_ptr<CKesSend3> original(new CKesSend3);
    tagParamSend3 param = Send3Params({kt::Loopback(), kt::Loopback()}, kt::Loopback(), receiver.port());
    ASSERT_EQ(1, original->InitInstance(&param));
    EXPECT_EQ(0, original->InitInstance(&param)) << "a sender already set up is left as it is";
    CKesSend3 copy(*original);
    original.reset();

    EXPECT_EQ(1, SendText(&copy, "still open"));
    EXPECT_EQ(2u, ReceiveExactly(&receiver, 2, kt::Loopback()).size());
    copy.Release();
    for (CUdpSocket *slot : copy.m_pSocket)
        EXPECT_EQ(nullptr, slot);
    EXPECT_EQ(0, SendText(&copy, "released"));
    copy.Release();  // harmless
    EXPECT_TRUE(ReceiveExactly(&receiver, 0, kt::Loopback()).empty());
}

}  // namespace
