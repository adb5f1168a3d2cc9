// A g++ host that declares the stream objects' interfaces itself, as the
// library's slot tables give them, each with a virtual destructor of its own,
// and destroys the objects with delete: under g++'s ABI that destructor takes
// two slots, and delete calls the second, the one after the library's
// destructor slot. The records and KesCreateObject still come from the header.
// Every object's memory must be back on the process heap, once, after its
// delete (the program also runs under Wine's heap checking).
#include <string.h>

#include <memory>

#include "kesnet.h"
#include "stream_support.h"

// The host's own declarations: each interface's operations, in slot order,
// then the destructor. Outside the anonymous namespace, as a host has them:
// there g++ would know every class derived from them (none in this program)
// and take the calls through them for unreachable.
struct OwnListener {
    virtual int InitInstance(tagParamListen *pParam) = 0;
    virtual void Release() = 0;
    virtual ~OwnListener() {}
};

struct OwnListener3 {
    virtual int InitInstance(tagParamListen3 *pParam) = 0;
    virtual void Release() = 0;
    virtual ~OwnListener3() {}
};

struct OwnSender {
    virtual int InitInstance(tagParamSend *pParam) = 0;
    virtual int Send(void *pData, unsigned long dwLength) = 0;
    virtual void Release() = 0;
    virtual ~OwnSender() {}
};

namespace {

// Whether p is a block in use of the process heap.
bool InUseOnProcessHeap(const void *p)
{
    HANDLE heap = GetProcessHeap();
    bool inUse = false;
    if (!HeapLock(heap))
        return false;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
        if (entry.lpData == p && (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY))
            inUse = true;
    HeapUnlock(heap);
    return inUse;
}

template <typename Interface>
Interface *Make(int type)
{
    return static_cast<Interface *>(KesCreateObject(type));
}

// Wine's heap checking (WINEDEBUG=warn+heap) keeps freed blocks aside, in
// use, for a while; it reports a block freed twice itself.
bool WineKeepsFreedBlocks()
{
    char debug[256] = "";
    DWORD n = GetEnvironmentVariableA("WINEDEBUG", debug, sizeof debug);
    return n > 0 && n < sizeof debug && strstr(debug, "heap") != nullptr;
}

// Deletes an object through the host's own declaration; true if its block
// was in use before and is free after.
template <typename Interface>
::testing::AssertionResult DeleteFreesIt(Interface *object)
{
    if (!InUseOnProcessHeap(object))
        return ::testing::AssertionFailure() << "the object is not a block of the process heap";
    delete object;
    if (!WineKeepsFreedBlocks() && InUseOnProcessHeap(object))
        return ::testing::AssertionFailure() << "delete left the object's block in use";
    return ::testing::AssertionSuccess();
}

std::vector<unsigned char> Pattern(size_t n)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return bytes;
}

std::vector<unsigned char> AllBytes(kt::Collector *reads)
{
    std::vector<unsigned char> bytes;
    for (const kt::Received &read : reads->All())
        bytes.insert(bytes.end(), read.data.begin(), read.data.end());
    return bytes;
}

// Streams bytes through an own-declared sender to port, and waits for the
// collector to have them all from that sender.
::testing::AssertionResult StreamThrough(int port, kt::Collector *reads, const std::vector<unsigned char> &bytes)
{
    OwnSender *sender = Make<OwnSender>(KES_OBJECT_TCPSEND);
    if (sender == nullptr)
        return ::testing::AssertionFailure() << "KesCreateObject(KES_OBJECT_TCPSEND) made nothing";
    tagParamSend to;
    to.dwDestAddr = kt::Loopback();
    to.nDestPort = port;
    int connected = sender->InitInstance(&to);
    int sent = connected ? sender->Send(const_cast<unsigned char *>(bytes.data()), static_cast<DWORD>(bytes.size())) : 0;
    bool arrived = sent == 1 && reads->WaitForBytes(bytes.size());
    if (connected)
        sender->Release();
    ::testing::AssertionResult freed = DeleteFreesIt(sender);
    if (!connected || sent != 1)
        return ::testing::AssertionFailure() << "the sender did not connect and send";
    if (!arrived || AllBytes(reads) != bytes)
        return ::testing::AssertionFailure() << "the bytes did not all arrive intact";
    return freed;
}

class OwnInterfacesTest : public kt::WinsockTest {};

TEST_F(OwnInterfacesTest, AStreamThroughListenerAndSenderThenDeleteFreesEachOnce)
{
    kt::Collector reads;
    tagParamListen param;
    param.dwLocalAddr = kt::Loopback();
    param.nPort = kt::FreeTcpPort();
    param.pfnReceive = kt::Collector::Receive;
    param.pUserData = &reads;
    OwnListener *listener = Make<OwnListener>(KES_OBJECT_TCPLISTEN);
    ASSERT_NE(nullptr, listener);
    ASSERT_EQ(1, listener->InitInstance(&param));
    EXPECT_TRUE(StreamThrough(param.nPort, &reads, Pattern(100000)));
    listener->Release();
    EXPECT_TRUE(DeleteFreesIt(listener));
}

TEST_F(OwnInterfacesTest, TheMultiInterfaceListenerServesThenDeleteFreesIt)
{
    kt::Collector reads;
    tagParamListen3 param;
    param.nPort = kt::FreeTcpPort();
    param.nCount = 1;
    param.dwLocalAddr[0] = kt::Loopback();
    param.pfnReceive = kt::Collector::Receive;
    param.pUserData = &reads;
    OwnListener3 *listener = Make<OwnListener3>(KES_OBJECT_TCPLISTEN3);
    ASSERT_NE(nullptr, listener);
    ASSERT_EQ(1, listener->InitInstance(&param));
    EXPECT_TRUE(StreamThrough(param.nPort, &reads, Pattern(5000)));

    listener->Release();
    EXPECT_TRUE(DeleteFreesIt(listener));
}

// Objects that never started go the same way.
TEST_F(OwnInterfacesTest, ObjectsNeverStartedAreDeletedToo)
{
    EXPECT_TRUE(DeleteFreesIt(Make<OwnListener>(KES_OBJECT_TCPLISTEN)));
    EXPECT_TRUE(DeleteFreesIt(Make<OwnListener3>(KES_OBJECT_TCPLISTEN3)));
    EXPECT_TRUE(DeleteFreesIt(Make<OwnSender>(KES_OBJECT_TCPSEND)));
}

}  // namespace
