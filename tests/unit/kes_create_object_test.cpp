// KesCreateObject: the factory of the stream objects.
#include <limits.h>

#include <memory>
#include <typeinfo>

#include "stream/tcp_listen.h"
#include "stream/tcp_listen3.h"
#include "stream/tcp_send.h"
#include "stream_support.h"

namespace {

TEST(KesCreateObject, CodesOtherThanOneTwoAndFiveMakeNothing)
{
    for (int code : {0, 3, 4, 6, 7, 100, -1, -5, INT_MIN, INT_MAX})
        EXPECT_EQ(nullptr, KesCreateObject(code)) << "code " << code;
}

TEST(KesCreateObject, EachCodeMakesItsObjectHoldingNothingYet)
{
    kt::StreamObject<CTcpListenObject> listen(static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN)));
    kt::StreamObject<CTcpSendObject> send(static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
    kt::StreamObject<CTcpListen3Object> listen3(static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3)));
    ASSERT_TRUE(listen && send && listen3);
    ASSERT_EQ(typeid(CTcpListen), typeid(*listen));
    ASSERT_EQ(typeid(CTcpSend), typeid(*send));
    ASSERT_EQ(typeid(CTcpListen3), typeid(*listen3));

    // Holding nothing, a new sender has no connection to send on, and
    // Release on any of them is harmless.
    char byte = 'x';
    EXPECT_EQ(0, send->Send(&byte, 1));
    send->Release();
    listen->Release();
    listen3->Release();
    EXPECT_EQ(0, send->Send(&byte, 1));
}

template <typename Object>
kt::StreamObject<Object> Create(int code)
{
    return kt::StreamObject<Object>(static_cast<Object *>(KesCreateObject(code)));
}

class KesCreateObjectTest : public kt::WinsockTest {};

// The last virtual slot destroys the object, as the Microsoft ABI's deleting
// destructor does: with bit 0 of the flags clear it only destroys (a started
// listener is released and its port closed), with bit 0 set it frees the
// memory too, back to the library's heap; either way it returns the object.
TEST_F(KesCreateObjectTest, TheDestructorSlotDestroysAndFreesOnlyWhenBitZeroIsSet)
{
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    CTcpListenObject *listener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
    ASSERT_EQ(1, listener->InitInstance(&param));
    const int port = kt::BoundPort(static_cast<CTcpListen *>(listener)->m_server.m_sListen);
    EXPECT_EQ(static_cast<void *>(listener), listener->Destroy(0));
    EXPECT_TRUE(kt::ConnectRefused(kt::Loopback(), port)) << "destroyed: released and closed";
    EXPECT_NE(0, HeapValidate(GetProcessHeap(), 0, static_cast<CTcpListen *>(listener)))
        << "not freed: the block is still one of the heap's";
    CTcpListen::operator delete(static_cast<CTcpListen *>(listener));

    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    EXPECT_EQ(static_cast<void *>(sender), sender->Destroy(1 | 2 | 0x80000000u)) << "other bits are ignored";
}

TEST_F(KesCreateObjectTest, TwoObjectsOfOneCodeShareNothing)
{
    auto listenA = Create<CTcpListenObject>(KES_OBJECT_TCPLISTEN), listenB = Create<CTcpListenObject>(KES_OBJECT_TCPLISTEN);
    tagParamListen param;
    ASSERT_EQ(1, listenA->InitInstance(&param));
    EXPECT_FALSE(static_cast<CTcpListen &>(*listenB).m_server.IsOpen());
    ASSERT_EQ(1, listenB->InitInstance(&param));
    listenA->Release();
    EXPECT_TRUE(static_cast<CTcpListen &>(*listenB).m_server.IsOpen());
    int port = kt::BoundPort(static_cast<CTcpListen &>(*listenB).m_server.m_sListen);

    auto listen3A = Create<CTcpListen3Object>(KES_OBJECT_TCPLISTEN3), listen3B = Create<CTcpListen3Object>(KES_OBJECT_TCPLISTEN3);
    tagParamListen3 param3;
    param3.nCount = 1;
    ASSERT_EQ(1, listen3A->InitInstance(&param3));
    EXPECT_FALSE(static_cast<CTcpListen3 &>(*listen3B).m_server[0].IsOpen());

    auto sendA = Create<CTcpSendObject>(KES_OBJECT_TCPSEND), sendB = Create<CTcpSendObject>(KES_OBJECT_TCPSEND);
    tagParamSend to;
    to.dwDestAddr = kt::Loopback();
    to.nDestPort = port;
    ASSERT_EQ(1, sendA->InitInstance(&to));
    char byte = 'x';
    EXPECT_EQ(0, sendB->Send(&byte, 1));
    EXPECT_EQ(1, sendA->Send(&byte, 1));
    sendA->Release();
    listen3A->Release();
    listenB->Release();
}

}  // namespace
