// CUdpSocket: the thin layer over one Winsock datagram socket.
#include <ws2tcpip.h>

#include "datagram/udp_socket.h"
#include "test_support.h"

namespace {

using kt::Loopback;

class UdpSocketTest : public kt::WinsockTest {};

int IntOption(SOCKET s, int level, int option)
{
    int value = -1;
    int length = sizeof value;
    if (getsockopt(s, level, option, reinterpret_cast<char *>(&value), &length) == SOCKET_ERROR)
        return -1;
    return value;
}

bool IsEvent(HANDLE h)
{
    // A live event answers a zero wait; a closed or bogus handle fails it.
    return h != WSA_INVALID_EVENT && WaitForSingleObject(h, 0) != WAIT_FAILED;
}

TEST_F(UdpSocketTest, NewObjectIsClosedWithBothEvents)
{
    CUdpSocket s;
    EXPECT_EQ(0, s.IsValid());
    EXPECT_EQ(INVALID_SOCKET, s.GetSocket());
    EXPECT_EQ(0, s.SelectEvents(FD_READ));
    EXPECT_TRUE(IsEvent(s.m_hNetEvent));
    EXPECT_TRUE(IsEvent(s.m_hStopEvent));
    EXPECT_NE(s.m_hNetEvent, s.m_hStopEvent);
}

TEST_F(UdpSocketTest, CreateBindsWithAddressReuseAndTheOptionsTakeEffect)
{
    CUdpSocket a, b;
    ASSERT_EQ(1, a.Create(0, 0));
    int port = kt::BoundPort(a.GetSocket());
    EXPECT_GT(port, 0);
    EXPECT_EQ(1, IntOption(a.GetSocket(), SOL_SOCKET, SO_REUSEADDR) != 0);
    EXPECT_EQ(1, b.Create(port, 0)) << "address reuse lets a second socket share the port";

    ASSERT_EQ(1, a.SetSendBuf(65536));
    ASSERT_EQ(1, a.SetRecvBuf(65536));
    EXPECT_GE(IntOption(a.GetSocket(), SOL_SOCKET, SO_SNDBUF), 65536);
    EXPECT_GE(IntOption(a.GetSocket(), SOL_SOCKET, SO_RCVBUF), 65536);
    ASSERT_EQ(1, a.EnableBroadcast());
    EXPECT_NE(0, IntOption(a.GetSocket(), SOL_SOCKET, SO_BROADCAST));
}

// A socket on a port of the system's choice is never given the port of a
// listener of this host, which would then lose its datagrams to it (Linux
// under Wine hands out such a port to a socket that asks for address reuse
// before its bind). Decisive where the range of such ports is small: the test
// command also runs it in a network namespace whose range is ten ports wide
// (tests/net/narrow_ports_test.sh).
TEST_F(UdpSocketTest, ASocketOnAPortOfTheSystemsChoiceNeverTakesAListenersPort)
{
    int port = 0;
    {
        CUdpSocket probe;
        ASSERT_EQ(1, probe.Create(0, Loopback()));
        port = kt::BoundPort(probe.GetSocket());
    }
    CUdpSocket listener;
    ASSERT_EQ(1, listener.Create(port, Loopback()));
    int taken = 0;
    for (int i = 0; i < 500; ++i) {
        CUdpSocket s;
        ASSERT_EQ(1, s.Create(0, Loopback()));
        taken += kt::BoundPort(s.GetSocket()) == port;
    }
    EXPECT_EQ(0, taken) << "sockets given the listener's port " << port;
    CUdpSocket sharing;
    EXPECT_EQ(1, sharing.Create(port, Loopback())) << "a port asked for by number is still shared";
}

TEST_F(UdpSocketTest, CreateThatFailsAtTheBindLeavesItClosedAndRemembersTheInterface)
{
    // Wine binds every UDP socket to 0.0.0.0 (narrowed to a device for a real
    // interface), so an address the host lacks does not fail there; a port held
    // without address reuse makes the bind fail on every platform.
    kt::RawUdp holder(0, 0, false);
    ASSERT_TRUE(holder.ok());
    CUdpSocket s;
    DWORD other = kt::Addr("127.0.0.3");
    EXPECT_EQ(0, s.Create(holder.port(), other));
    EXPECT_EQ(0, s.IsValid());
    EXPECT_EQ(other, s.m_dwInterface);
    s.Close();  // closing a closed socket does nothing
    s.Close();
    EXPECT_EQ(1, s.Create(0, Loopback())) << "a closed object can be opened again";
    EXPECT_EQ(Loopback(), s.m_dwInterface);
}

TEST_F(UdpSocketTest, SendToAndRecvFromCarryDatagramsWholeIncludingEmptyOnes)
{
    CUdpSocket sender, receiver;
    ASSERT_EQ(1, sender.Create(0, Loopback()));
    ASSERT_EQ(1, receiver.Create(0, Loopback()));
    int to = kt::BoundPort(receiver.GetSocket());

    const char text[] = "abc";
    ASSERT_EQ(1, sender.SendTo(text, 3, Loopback(), to));
    ASSERT_EQ(1, sender.SendTo(text, 0, Loopback(), to));

    char buffer[16] = {};
    int length = sizeof buffer;
    DWORD from = 0;
    int fromPort = 0;
    ASSERT_EQ(1, receiver.RecvFrom(buffer, &length, &from, &fromPort));
    EXPECT_EQ(3, length);
    EXPECT_EQ(0, memcmp(buffer, "abc", 3));
    EXPECT_EQ(Loopback(), from);
    EXPECT_EQ(kt::BoundPort(sender.GetSocket()), fromPort);

    length = sizeof buffer;
    ASSERT_EQ(1, receiver.RecvFrom(buffer, &length, nullptr, nullptr)) << "address and port may be null";
    EXPECT_EQ(0, length);
}

TEST_F(UdpSocketTest, OperationsOnAClosedSocketFail)
{
    CUdpSocket s;
    char buffer[8];
    int length = sizeof buffer;
    DWORD from = 0x12345678;
    EXPECT_EQ(0, s.RecvFrom(buffer, &length, &from, nullptr));
    EXPECT_EQ(-1, length);
    EXPECT_EQ(0x12345678u, from) << "address left untouched on failure";
    EXPECT_EQ(0, s.SendTo(buffer, 1, Loopback(), 9));
    EXPECT_EQ(0, s.SetSendBuf(65536));
    EXPECT_EQ(0, s.JoinGroup(kt::Addr("239.77.0.9")));
    EXPECT_EQ(0u, s.m_dwGroup);
}

TEST_F(UdpSocketTest, RefusedMembershipFailsAndKeepsTheGroup)
{
    CUdpSocket s;
    ASSERT_EQ(1, s.Create(0, Loopback()));
    EXPECT_EQ(0, s.JoinGroup(kt::Addr("10.1.2.3"))) << "not a multicast group";
    EXPECT_EQ(0u, s.m_dwGroup);
    EXPECT_EQ(0, s.LeaveGroup()) << "dropping group 0, never joined, is refused by the system";
}

TEST_F(UdpSocketTest, JoinGroupSetsInterfaceAndTimeToLiveTen)
{
    KT_REQUIRE_PRIVATE_NETWORK();
    CUdpSocket s;
    ASSERT_EQ(1, s.Create(0, Loopback()));
    DWORD group = kt::Addr("239.77.0.9");
    ASSERT_EQ(1, s.JoinGroup(group));
    EXPECT_EQ(group, s.m_dwGroup);
    EXPECT_EQ(10, IntOption(s.GetSocket(), IPPROTO_IP, IP_MULTICAST_TTL));
    EXPECT_EQ(static_cast<int>(Loopback()), IntOption(s.GetSocket(), IPPROTO_IP, IP_MULTICAST_IF));
    EXPECT_EQ(1, s.LeaveGroup());
    EXPECT_EQ(group, s.m_dwGroup) << "the group stays remembered";
    EXPECT_EQ(0, s.LeaveGroup()) << "a membership is dropped once";
}

TEST_F(UdpSocketTest, DestroyingAnOpenObjectClosesItsSocketAndEvents)
{
    CUdpSocket *s = new CUdpSocket;
    ASSERT_EQ(1, s->Create(0, Loopback()));
    ASSERT_EQ(1, s->SelectEvents(FD_READ));
    SOCKET handle = s->GetSocket();
    int port = kt::BoundPort(handle);
    HANDLE events[2] = {s->m_hNetEvent, s->m_hStopEvent};
    delete s;
    EXPECT_EQ(-1, kt::BoundPort(handle)) << "the socket is closed";
    EXPECT_TRUE(kt::UdpPortFree(Loopback(), port));
    for (HANDLE h : events)
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0)) << "the event is closed";
}

}  // namespace
