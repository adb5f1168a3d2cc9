// The fixture shared by the tests of the two stream listeners: listeners made
// by the factory and deleted after the test, a collector of their reads,
// clients that join, and a host that deletes a listener still serving. (What
// a callback held past Release, or one that releases its own listener, does
// to every kind of listener is tested over the table in listener_kinds.h.)
#ifndef KESNET_LISTENER_TEST_H
#define KESNET_LISTENER_TEST_H

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stream/tcp_client_table.h"
#include "stream_support.h"

namespace kt {

// For Collector::Watch: the clients in a stream listener's table, place by
// place. The serving thread is the only one that changes the table, and it
// is inside the callback when the collector asks.
inline std::function<std::vector<Place>()> PlacesOf(const CTcpClientTable *table)
{
    return [table] {
        std::vector<Place> places;
        for (int k = 0; k < table->Count(); ++k)
            places.emplace_back(table->At(k).dwClientAddr, table->At(k).nClientPort);
        return places;
    };
}

// Object is the host's interface, Listener the library's class behind it.
template <typename Object, typename Listener, int kType>
class ListenerTest : public WinsockTest {
protected:
    void TearDown() override
    {
        for (Object *object : m_made)
            DeleteStreamObject(object);
        m_made.clear();
        WinsockTest::TearDown();
    }

    // A new listener from the factory, deleted at the end of the test unless
    // the test takes it over with Forget.
    Listener *Make()
    {
        m_made.push_back(static_cast<Object *>(KesCreateObject(kType)));
        return static_cast<Listener *>(m_made.back());
    }

    void Forget(Listener *listener)
    {
        m_made.erase(std::find(m_made.begin(), m_made.end(), static_cast<Object *>(listener)));
    }

    // A client from local to addr:m_port that has sent hello, and whose hello
    // has arrived: it holds a place.
    std::unique_ptr<RawTcp> Join(const std::string &hello, DWORD addr = Loopback(), DWORD local = 0)
    {
        std::unique_ptr<RawTcp> client(new RawTcp);
        if (!client->Connect(addr, m_port, local) || !client->Send(hello) ||
            !m_reads.WaitForBytes(client->localAddr(), client->localPort(), hello.size()))
            return nullptr;
        return client;
    }

    // True if a client connecting to addr:m_port is refused, or accepted and
    // closed without any of its bytes reaching the callback.
    bool TurnedAway(DWORD addr = Loopback())
    {
        RawTcp client;
        if (!client.Connect(addr, m_port))
            return true;
        client.Send("let me in");
        return client.WaitClosed() && m_reads.StreamFrom(client.localAddr(), client.localPort()).empty();
    }

    // The host deletes a listener that still serves client at addr, without
    // Release: the serving thread ends, the connection and the listening
    // socket are closed.
    void ExpectDeletingReleases(Listener *listener, HANDLE thread, RawTcp &client, DWORD addr)
    {
        Forget(listener);
        static_cast<Object *>(listener)->Delete();
        EXPECT_TRUE(ThreadEnds(thread));
        EXPECT_TRUE(client.WaitClosed());
        EXPECT_TRUE(ConnectRefused(addr, m_port));
    }

    Collector m_reads;
    int m_port = 0;
    std::vector<Object *> m_made;
};

}  // namespace kt

#endif
