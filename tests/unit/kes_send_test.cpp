// Starting the library, CKesSend and the one-call KesSend.
#include <string.h>

#include "datagram/udp_socket.h"
#include "test_support.h"

namespace {

using kt::Loopback;

TEST(Library, StartsAreCountedAndEachNeedsItsOwnStop)
{
    ASSERT_EQ(1, KesInitInstance());
    ASSERT_EQ(1, KesInitInstance());
    EXPECT_EQ(1, KesExitInstance());
    EXPECT_EQ(1, KesExitInstance());
    EXPECT_EQ(0, KesExitInstance()) << "no start left to stop";
}

class KesSendTest : public kt::WinsockTest {
protected:
    kt::RawUdp receiver;  // on 127.0.0.1, a port of the system's choice
    kt::Datagram got;
};

TEST_F(KesSendTest, KesSendDeliversOneDatagramWholeFromAPortOfTheSystemsChoice)
{
    const char text[] = "hello, class";
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, text, 12, Loopback(), receiver.port(), 0));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ(std::string(text), std::string(got.data.begin(), got.data.end()));
    EXPECT_NE(0, got.port);

    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, text, 0, Loopback(), receiver.port(), Loopback()));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_TRUE(got.data.empty()) << "a length of 0 sends an empty datagram";
}

TEST_F(KesSendTest, KesSendWithAnotherModeSendsNothingAndSucceeds)
{
    const char text[] = "mode";
    for (int mode : {0, 3, -1}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(1, KesSend(mode, text, 4, Loopback(), receiver.port(), 0));
    }
    // Datagrams on one path arrive in order: if any of the above had gone out
    // it would come before this marker.
    ASSERT_EQ(1, KesSend(KES_MODE_UNICAST, "marker", 6, Loopback(), receiver.port(), 0));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ("marker", std::string(got.data.begin(), got.data.end()));
}

TEST_F(KesSendTest, KesSendRefusesUnreadableDataAndFailedSetUp)
{
    char *unmapped = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS));
    EXPECT_EQ(0, KesSend(KES_MODE_UNICAST, unmapped, 16, Loopback(), receiver.port(), 0));
    EXPECT_EQ(0, KesSend(KES_MODE_UNICAST, nullptr, 1, Loopback(), receiver.port(), 0));
    VirtualFree(unmapped, 0, MEM_RELEASE);
    // A group that cannot be joined fails the set-up.
    EXPECT_EQ(0, KesSend(KES_MODE_MULTICAST, "x", 1, kt::Addr("10.1.2.3"), receiver.port(), Loopback()));
    EXPECT_TRUE(receiver.Drain().empty());
}

class CKesSendTest : public KesSendTest {
protected:
    tagParamSend Param(int mode = KES_MODE_UNICAST)
    {
        tagParamSend p;
        p.nMode = mode;
        p.dwLocalAddr = Loopback();
        p.dwDestAddr = Loopback();
        p.nDestPort = receiver.port();
        return p;
    }
    std::string Text() { return std::string(got.data.begin(), got.data.end()); }
};

// Not the record's own defaults: dwSize and dwEchoTimeout are 0 here too.
TEST_F(CKesSendTest, NewSenderHoldsModeOneAndZeroes)
{
    CKesSend sender;
    EXPECT_EQ(nullptr, sender.m_pSocket);
    const tagParamSend &p = sender.m_param;
    EXPECT_EQ(0u, p.dwSize) << "not the record's 24";
    EXPECT_EQ(1, p.nMode);
    EXPECT_EQ(0u, p.dwLocalAddr);
    EXPECT_EQ(0u, p.dwDestAddr);
    EXPECT_EQ(0, p.nDestPort);
    EXPECT_EQ(0u, p.dwEchoTimeout) << "not the record's 100";
}

TEST_F(CKesSendTest, SendTakesEachDefaultOnlyWhenItsArgumentIsZero)
{
    kt::RawUdp other;
    CKesSend sender;
    tagParamSend p = Param();
    ASSERT_EQ(1, sender.InitInstance(&p));
    EXPECT_GE(kt::BoundPort(sender.m_pSocket->GetSocket()), 1);

    ASSERT_EQ(1, sender.Send(const_cast<char *>("defaults"), 8, 0, 0));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ("defaults", Text());

    ASSERT_EQ(1, sender.Send(const_cast<char *>("port"), 4, 0, other.port()));
    ASSERT_TRUE(other.Receive(&got));
    EXPECT_EQ("port", Text());

    ASSERT_EQ(1, sender.Send(const_cast<char *>("address"), 7, kt::Addr("127.0.0.1"), 0));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ("address", Text());
    sender.Release();
}

TEST_F(CKesSendTest, SendWithoutSocketFailsInEveryMode)
{
    for (int mode : {1, 2, 3}) {
        SCOPED_TRACE(mode);
        CKesSend sender;
        sender.m_param = Param(mode);
        EXPECT_EQ(0, sender.Send(const_cast<char *>("x"), 1, 0, 0)) << "never set up";
        if (mode != KES_MODE_MULTICAST) {
            ASSERT_EQ(1, sender.InitInstance(nullptr));
            sender.Release();
            EXPECT_EQ(0, sender.Send(const_cast<char *>("x"), 1, 0, 0)) << "released";
            sender.Release();  // a second Release does nothing
            EXPECT_EQ(nullptr, sender.m_pSocket);
        }
    }
    EXPECT_TRUE(receiver.Drain().empty());
}

TEST_F(CKesSendTest, NullRecordOnANewSenderMeansModeOneOnAnyInterface)
{
    CKesSend sender;
    ASSERT_EQ(1, sender.InitInstance(nullptr));
    EXPECT_EQ(0u, sender.m_pSocket->m_dwInterface);
    EXPECT_EQ(1, sender.Send(const_cast<char *>("explicit"), 8, Loopback(), receiver.port()));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ("explicit", Text());
    sender.Release();
}

TEST_F(CKesSendTest, NullRecordAfterReleaseReusesTheEarlierParameters)
{
    CKesSend sender;
    tagParamSend p = Param();
    ASSERT_EQ(1, sender.InitInstance(&p));
    sender.Release();
    p.nDestPort = 1;  // the sender copied the record: later changes do not reach it
    ASSERT_EQ(1, sender.InitInstance(nullptr));
    ASSERT_EQ(1, sender.Send(const_cast<char *>("again"), 5, 0, 0));
    ASSERT_TRUE(receiver.Receive(&got));
    EXPECT_EQ("again", Text());
    sender.Release();
}

TEST_F(CKesSendTest, FailedSetUpLeavesTheSenderEmpty)
{
    char *unmapped = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS));
    CKesSend sender;
    EXPECT_EQ(0, sender.InitInstance(reinterpret_cast<tagParamSend *>(unmapped)));
    EXPECT_EQ(nullptr, sender.m_pSocket);
    VirtualFree(unmapped, 0, MEM_RELEASE);

    tagParamSend p = Param(KES_MODE_MULTICAST);
    p.dwDestAddr = kt::Addr("10.1.2.3");  // not a group: the join fails
    EXPECT_EQ(0, sender.InitInstance(&p));
    EXPECT_EQ(nullptr, sender.m_pSocket);
    EXPECT_EQ(p.dwDestAddr, sender.m_param.dwDestAddr) << "the record was copied before the failure";
}

TEST_F(CKesSendTest, SecondInitInstanceIsRefusedAndKeepsTheSocket)
{
    CKesSend sender;
    tagParamSend p = Param();
    ASSERT_EQ(1, sender.InitInstance(&p));
    CUdpSocket *socket = sender.m_pSocket;
    EXPECT_EQ(0, sender.InitInstance(&p));
    EXPECT_EQ(socket, sender.m_pSocket);
    sender.Release();
}

TEST_F(CKesSendTest, CopyAssignmentSharesTheSocket)
{
    CKesSend sender, copy;
    tagParamSend p = Param();
    ASSERT_EQ(1, sender.InitInstance(&p));
    CKesSend &result = (copy = sender);
    EXPECT_EQ(&result, &copy);
    EXPECT_EQ(sender.m_pSocket, copy.m_pSocket);
    ASSERT_EQ(1, copy.Send(const_cast<char *>("copy"), 4, 0, 0));
    ASSERT_TRUE(receiver.Receive(&got));
    copy.Release();  // only one of the two may release
}

TEST_F(CKesSendTest, MulticastJoinsTheDestinationGroupOnTheLocalInterface)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    DWORD group = kt::Addr("239.77.0.3");
    kt::RawUdp member(0, 0);  // Linux hands group datagrams only to sockets bound to 0.0.0.0
    ASSERT_TRUE(member.JoinGroup(group, Loopback()));
    CKesSend sender;
    tagParamSend p = Param(KES_MODE_MULTICAST);
    p.dwDestAddr = group;
    p.nDestPort = member.port();
    ASSERT_EQ(1, sender.InitInstance(&p));
    EXPECT_EQ(group, sender.m_pSocket->m_dwGroup);
    ASSERT_EQ(1, sender.Send(const_cast<char *>("group"), 5, 0, 0));
    ASSERT_TRUE(member.Receive(&got));
    EXPECT_EQ("group", Text());
    sender.Release();
    EXPECT_EQ(nullptr, sender.m_pSocket);
}

}  // namespace
