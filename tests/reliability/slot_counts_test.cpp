// The slot count of the classes that serve up to eight interfaces (CKesSend3,
// CKesListen3, CTcpListen3), in one table: nCount 1 to 8 opens that many
// slots; 0 and above 8 are refused before anything is opened or started; a
// negative count is accepted and opens nothing. The record is copied whole
// either way, and nothing past the eighth slot is written. Each record names
// eight loopback addresses and reaches InitInstance in read-only memory; the
// datagram objects lie between guard bytes.
#include <limits.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "datagram/udp_socket.h"
#include "input_support.h"
#include "new_threads.h"
#include "stream/tcp_listen3.h"
#include "stream_support.h"

namespace {

using kt::Loopback;

struct Count {
    int nCount;
    long result;  // of InitInstance
    int opened;   // slots opened (and threads started, for the listeners)
    long sends;   // CKesSend3::Send with the count held afterwards
};

const Count kCounts[] = {
    {1, 1, 1, 1},       {8, 1, 8, 1},      {0, 0, 0, 1},        {9, 0, 0, 0},
    {INT_MAX, 0, 0, 0}, {-1, 1, 0, 1},     {INT_MIN, 1, 0, 1},
};

// What a class of the table does with a count: it sets an object up with it,
// checks what the object opened and serves, releases it and checks that
// nothing is left; InitInstance's result.
struct SlotClass {
    const char *name;
    std::function<long(const Count &)> start;
};

bool SocketOpen(CUdpSocket *socket)
{
    return socket != nullptr;
}

class SlotCounts : public kt::WinsockTest {
protected:
    // How many of the slots are open, as open(slot) tells.
    template <typename Slot, size_t n, typename Open>
    static int Opened(const Slot (&slots)[n], Open open)
    {
        int count = 0;
        for (const Slot &slot : slots)
            count += open(slot) ? 1 : 0;
        return count;
    }

    long StartSender(const Count &c)
    {
        kt::RawUdp receiver;
        tagParamSend3 record = kr::Send3Record(receiver.port(), c.nCount);
        kr::Fenced<CKesSend3> sender;
        long result = sender->InitInstance(m_bad.ReadOnlyCopy(record));
        EXPECT_EQ(c.opened, Opened(sender->m_pSocket, SocketOpen));
        EXPECT_EQ(0, memcmp(&record, &sender->m_param, sizeof record)) << "the record was not copied whole";
        unsigned char payload[] = "payload";
        EXPECT_EQ(c.sends, sender->Send(payload, 7, 0, 0));
        for (int i = 0; i < c.opened; ++i) {
            kt::Datagram d;
            EXPECT_TRUE(receiver.Receive(&d) && d.data.size() == 7) << "copy " << i;
        }
        EXPECT_TRUE(kr::NothingArrived(receiver)) << "a copy too many";
        sender->Release();
        sender->Release();
        EXPECT_EQ(0, Opened(sender->m_pSocket, SocketOpen));
        EXPECT_TRUE(sender.GuardsIntact()) << "written beside the sender";
        return result;
    }

    long StartDatagramListener(const Count &c)
    {
        kt::Collector seen;
        int port = kt::FreeUdpPort();
        tagParamListen3 record = kr::Listen3Record(kt::Collector::Receive, &seen, port, c.nCount);
        kr::Fenced<CKesListen3> listener;
        long result;
        {
            kt::NewThreads threads;
            result = listener->InitInstance(m_bad.ReadOnlyCopy(record));
            if (c.opened == 0) {
                EXPECT_EQ(0u, threads.Count()) << "a thread was started";
            }
        }
        EXPECT_EQ(c.opened, Opened(listener->m_pSocket, SocketOpen));
        EXPECT_EQ(c.opened, Opened(listener->m_hThread, [](HANDLE h) { return h != nullptr; }));
        EXPECT_EQ(0, memcmp(&record, &listener->m_param, sizeof record)) << "the record was not copied whole";
        if (c.opened > 0) {
            kt::RawUdp sender;
            EXPECT_TRUE(sender.SendTo("ping", 4, Loopback(), port) && seen.WaitFor(1)) << "not delivered";
        }
        listener->Release();
        listener->Release();
        EXPECT_EQ(0, Opened(listener->m_pSocket, SocketOpen));
        EXPECT_TRUE(kt::UdpPortFree(0, port)) << "the port is still held";
        EXPECT_TRUE(listener.GuardsIntact()) << "written beside the listener";
        return result;
    }

    long StartStreamListener(const Count &c)
    {
        kt::Collector reads;
        int port = kt::FreeTcpPort();
        tagParamListen3 record = kr::Listen3Record(kt::Collector::Receive, &reads, port, c.nCount);
        kt::StreamObject<CTcpListen3Object> object(static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3)));
        CTcpListen3 *listener = static_cast<CTcpListen3 *>(object.get());
        long result;
        {
            kt::NewThreads threads;
            result = listener->InitInstance(m_bad.ReadOnlyCopy(record));
            if (c.opened == 0) {
                EXPECT_EQ(0u, threads.Count()) << "a thread was started";
            }
        }
        auto open = [](const CTcpServer &server) { return server.IsOpen(); };
        EXPECT_EQ(c.opened, Opened(listener->m_server, open));
        EXPECT_EQ(0, memcmp(&record, &listener->m_param, sizeof record)) << "the record was not copied whole";
        if (c.opened > 0) {
            kt::RawTcp client;
            EXPECT_TRUE(client.Connect(Loopback(), port) && client.Send("block") &&
                        reads.WaitForBytes(client.localAddr(), client.localPort(), 5))
                << "not delivered";
        } else {
            EXPECT_TRUE(kt::ConnectRefused(Loopback(), port)) << "something listens";
        }
        listener->Release();
        listener->Release();
        EXPECT_EQ(0, Opened(listener->m_server, open));
        EXPECT_TRUE(kt::ConnectRefused(Loopback(), port)) << "something still listens";
        return result;
    }

    kr::BadMemory m_bad;
};

TEST_F(SlotCounts, OneToEightOpenThatManyZeroAndAboveEightAreRefusedNegativeOpensNothing)
{
    const SlotClass classes[] = {
        {"CKesSend3", [this](const Count &c) { return StartSender(c); }},
        {"CKesListen3", [this](const Count &c) { return StartDatagramListener(c); }},
        {"CTcpListen3", [this](const Count &c) { return StartStreamListener(c); }},
    };
    std::vector<kt::Row> rows;
    for (const SlotClass &slotClass : classes)
        for (const Count &c : kCounts)
            rows.push_back({std::string(slotClass.name) + ", nCount " + std::to_string(c.nCount),
                            [slotClass, c] { return slotClass.start(c); }, c.result});
    kt::ExpectRows(rows);
}

}  // namespace
