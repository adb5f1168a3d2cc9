// The stream objects as a host sees them: made by the real DLL and driven
// through the exported header's interfaces alone, every virtual slot called.
// This program links kesnet.dll through its import library.
#include <memory>

#include "kesnet.h"
#include "stream_support.h"

namespace {

using kt::RawTcp;

class StreamSlotsTest : public kt::WinsockTest {};

TEST_F(StreamSlotsTest, TcpSendConnectsSendsReleasesAndIsDeleted)
{
    kt::RawTcpServer server;
    ASSERT_TRUE(server.ok());
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    ASSERT_NE(nullptr, sender);
    tagParamSend param;
    param.dwDestAddr = kt::Loopback();
    param.nDestPort = server.port();

    ASSERT_EQ(1, sender->InitInstance(&param));
    std::unique_ptr<RawTcp> peer = server.Accept();
    ASSERT_NE(nullptr, peer);
    char text[] = "through the slots";
    EXPECT_EQ(1, sender->Send(text, sizeof text - 1));
    sender->Release();
    std::vector<unsigned char> received;
    EXPECT_TRUE(peer->WaitClosed(&received));
    EXPECT_EQ(kt::Bytes("through the slots"), received);
    sender->Delete();
}

// Starts a listener of either kind on port, checks that a client is served,
// releases and deletes it, and checks the port is closed.
template <typename Object, typename Record>
void ServeOneClientThenRelease(int type, Record &param, int port)
{
    kt::Collector reads;
    param.pfnReceive = kt::Collector::Receive;
    param.pUserData = &reads;
    Object *listener = static_cast<Object *>(KesCreateObject(type));
    ASSERT_NE(nullptr, listener);

    ASSERT_EQ(1, listener->InitInstance(&param));
    RawTcp client;
    ASSERT_TRUE(client.Connect(kt::Loopback(), port));
    ASSERT_TRUE(client.Send("served"));
    EXPECT_TRUE(reads.WaitForBytes(client.localAddr(), client.localPort(), 6));
    listener->Release();
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), port));
    listener->Delete();
}

TEST_F(StreamSlotsTest, TcpListenStartsServesReleasesAndIsDeleted)
{
    tagParamListen param;
    param.nPort = kt::FreeTcpPort();
    ServeOneClientThenRelease<CTcpListenObject>(KES_OBJECT_TCPLISTEN, param, param.nPort);
}

TEST_F(StreamSlotsTest, TcpListen3StartsServesReleasesAndIsDeleted)
{
    tagParamListen3 param;
    param.nPort = kt::FreeTcpPort();
    param.nCount = 1;
    param.dwLocalAddr[0] = kt::Loopback();
    ServeOneClientThenRelease<CTcpListen3Object>(KES_OBJECT_TCPLISTEN3, param, param.nPort);
}

TEST_F(StreamSlotsTest, OtherCodesMakeNothing)
{
    for (int code : {0, 3, 4, 6, -1})
        EXPECT_EQ(nullptr, KesCreateObject(code)) << "code " << code;
}

}  // namespace
