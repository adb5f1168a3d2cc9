// CTcpSend: the TCP client.
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stream/tcp_send.h"
#include "stream_support.h"

namespace {

using kt::RawTcp;
using kt::RawTcpServer;

class TcpSendTest : public kt::WinsockTest {
protected:
    void TearDown() override
    {
        m_sender.reset();
        kt::WinsockTest::TearDown();
    }

    static tagParamSend Record(int port, DWORD dest = kt::Loopback(), DWORD local = 0)
    {
        tagParamSend param;
        param.dwLocalAddr = local;
        param.dwDestAddr = dest;
        param.nDestPort = port;
        return param;
    }

    // A sender from the factory connected to the server; the server's side of
    // the connection goes to m_peer.
    bool Connect(RawTcpServer &server, DWORD local = 0)
    {
        tagParamSend param = Record(server.port(), kt::Loopback(), local);
        if (m_sender->InitInstance(&param) != 1)
            return false;
        m_peer = server.Accept();
        return m_peer != nullptr;
    }

    kt::StreamObject<CTcpSendObject> m_sender{static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND))};
    std::unique_ptr<RawTcp> m_peer;

    CTcpSend &Sender() { return *static_cast<CTcpSend *>(m_sender.get()); }
};

struct LocalCase {
    const char *name;
    bool privateNetwork;
    const char *local;  // null: any interface
    const char *dest;
};

class TcpSendLocalTest : public TcpSendTest, public ::testing::WithParamInterface<LocalCase> {};

TEST_P(TcpSendLocalTest, ConnectsFromItsLocalAddressOnAPortOfTheSystemsChoice)
{
    if (GetParam().privateNetwork)
        KT_REQUIRE_PRIVATE_NETWORK();
    DWORD dest = kt::Addr(GetParam().dest);
    DWORD local = GetParam().local ? kt::Addr(GetParam().local) : 0;
    RawTcpServer server(dest);
    ASSERT_TRUE(server.ok());
    tagParamSend param = Record(server.port(), dest, local);
    ASSERT_EQ(1, m_sender->InitInstance(&param));
    std::unique_ptr<RawTcp> peer = server.Accept();
    ASSERT_NE(nullptr, peer);

    sockaddr_in from = {};
    int length = sizeof from;
    ASSERT_EQ(0, getpeername(peer->socket(), reinterpret_cast<sockaddr *>(&from), &length));
    EXPECT_EQ(local ? local : dest, from.sin_addr.s_addr);
    EXPECT_NE(0, from.sin_port);

    char text[] = "hello, server";
    EXPECT_EQ(1, m_sender->Send(text, sizeof text - 1));
    EXPECT_EQ(1, m_sender->Send(text, 0)) << "an empty send succeeds";
    m_sender->Release();
    std::vector<unsigned char> received;
    EXPECT_TRUE(peer->WaitClosed(&received)) << "Release closes the connection";
    EXPECT_EQ(kt::Bytes("hello, server"), received);
}

INSTANTIATE_TEST_SUITE_P(Locals, TcpSendLocalTest,
                         ::testing::Values(LocalCase{"AnyInterface", false, nullptr, "127.0.0.1"},
                                           LocalCase{"SecondLoopback", false, "127.0.0.2", "127.0.0.1"},
                                           LocalCase{"SecondLink", true, "10.77.2.1", "10.77.1.1"}),
                         [](const ::testing::TestParamInfo<LocalCase> &info) { return std::string(info.param.name); });

TEST_F(TcpSendTest, ABlockOfMegabytesArrivesWholeFromOneSend)
{
    RawTcpServer server;
    ASSERT_TRUE(Connect(server));
    std::vector<unsigned char> block(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 13 + i / 4093);
    // The send blocks until Winsock has taken everything, so the peer reads
    // on a thread of its own.
    std::vector<unsigned char> received;
    bool closed = false;
    std::thread reader([&] { closed = m_peer->WaitClosed(&received); });
    EXPECT_EQ(1, m_sender->Send(block.data(), static_cast<unsigned long>(block.size())));
    m_sender->Release();
    reader.join();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(block == received) << received.size() << " of " << block.size() << " bytes";
}

TEST_F(TcpSendTest, ARefusedConnectFailsAndLeavesNothingOpen)
{
    // Bound but not listening: a connect to it is refused.
    SOCKET bound = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = kt::Loopback();
    ASSERT_EQ(0, bind(bound, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    tagParamSend param = Record(kt::BoundPort(bound));

    EXPECT_EQ(0, m_sender->InitInstance(&param));
    EXPECT_EQ(0u, Sender().m_socket);
    char byte = 'x';
    EXPECT_EQ(0, m_sender->Send(&byte, 1));
    m_sender->Release();
    closesocket(bound);
}

TEST_F(TcpSendTest, AnUnreadableRecordIsRefused)
{
    RawTcpServer server;
    EXPECT_EQ(0, m_sender->InitInstance(nullptr));
    tagParamSend param = Record(server.port());
    kt::CutShort shortRecord(sizeof param - 4);
    memcpy(shortRecord.get(), &param, sizeof param - 4);
    EXPECT_EQ(0, m_sender->InitInstance(static_cast<tagParamSend *>(shortRecord.get())));
    EXPECT_EQ(nullptr, server.Accept(0)) << "no connection was attempted";

    kt::CutShort exact(sizeof param);
    memcpy(exact.get(), &param, sizeof param);
    EXPECT_EQ(1, m_sender->InitInstance(static_cast<tagParamSend *>(exact.get())))
        << "exactly the record's readable bytes are enough";
}

TEST_F(TcpSendTest, SendRefusesUnreadableDataAndSendsNothing)
{
    RawTcpServer server;
    ASSERT_TRUE(Connect(server));
    kt::CutShort data(10);
    memcpy(data.get(), "0123456789", 10);
    EXPECT_EQ(0, m_sender->Send(data.get(), 11));
    EXPECT_EQ(0, m_sender->Send(nullptr, 1));
    EXPECT_EQ(1, m_sender->Send(data.get(), 10));
    m_sender->Release();
    std::vector<unsigned char> received;
    EXPECT_TRUE(m_peer->WaitClosed(&received));
    EXPECT_EQ(kt::Bytes("0123456789"), received);
}

TEST_F(TcpSendTest, SendBeforeAnyConnectFails)
{
    char byte = 'x';
    EXPECT_EQ(0, m_sender->Send(&byte, 1));
    EXPECT_EQ(0, m_sender->Send(&byte, 0));
}

TEST_F(TcpSendTest, SendAfterThePeerResetFails)
{
    RawTcpServer server;
    ASSERT_TRUE(Connect(server));
    m_peer->Reset();
    // The reset has arrived once the socket turns readable.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sender().m_socket, &readable);
    timeval limit = {static_cast<long>(kt::Bound() / 1000), 0};
    ASSERT_EQ(1, select(0, &readable, nullptr, nullptr, &limit));

    char text[] = "anyone there?";
    EXPECT_EQ(0, m_sender->Send(text, sizeof text - 1));
    EXPECT_NE(0u, Sender().m_socket) << "the socket stays open until Release";
    m_sender->Release();
}

TEST_F(TcpSendTest, ASecondConnectIsRefusedAndKeepsTheFirst)
{
    RawTcpServer first, second;
    ASSERT_TRUE(Connect(first));
    tagParamSend param = Record(second.port());
    EXPECT_EQ(0, m_sender->InitInstance(&param));
    char text[] = "to the first";
    EXPECT_EQ(1, m_sender->Send(text, sizeof text - 1));
    m_sender->Release();
    std::vector<unsigned char> received;
    EXPECT_TRUE(m_peer->WaitClosed(&received));
    EXPECT_EQ(kt::Bytes("to the first"), received);
}

// A released sender forgets its socket, so a second Release cannot close the
// socket that has since been given the same number.
TEST_F(TcpSendTest, ReleaseNeverClosesAHandleThatIsNotItsOwn)
{
    RawTcpServer server;
    ASSERT_TRUE(Connect(server));
    m_sender->Release();
    EXPECT_EQ(0u, Sender().m_socket);

    RawTcpServer other;  // likely to be given the number just freed
    ASSERT_TRUE(other.ok());
    m_sender->Release();
    RawTcp client;
    EXPECT_TRUE(client.Connect(kt::Loopback(), other.port())) << "the other socket still listens";

    tagParamSend refused = Record(kt::FreeTcpPort());
    EXPECT_EQ(0, m_sender->InitInstance(&refused));
    RawTcpServer third;
    m_sender->Release();  // after a failed start
    RawTcp another;
    EXPECT_TRUE(another.Connect(kt::Loopback(), third.port()));
}

TEST_F(TcpSendTest, DeletingAConnectedSenderClosesItsConnection)
{
    RawTcpServer server;
    ASSERT_TRUE(Connect(server));
    m_sender.reset();
    EXPECT_TRUE(m_peer->WaitClosed());
}

}  // namespace
