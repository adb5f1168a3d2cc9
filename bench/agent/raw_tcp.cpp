// raw-tcp: a raw Winsock TCP server in the library's style, one thread per
// address serving every client of that address: it sleeps in
// WSAWaitForMultipleEvents on a stop event, the accept event and one event per
// client, and makes one read of 1536 bytes per FD_READ.
#include "agent/receiver.h"
#include "support/bench.h"

#include <thread>

namespace bench {
namespace {

const int kReadSize = 1536;
const int kMostClients = WSA_MAXIMUM_WAIT_EVENTS - 2;  // the stop and accept events take two

struct Client {
    SOCKET socket;
    WSAEVENT event;
};

class TcpEventServer : public Receiver {
public:
    TcpEventServer() : m_hStop(WSACreateEvent()) {}
    ~TcpEventServer() override { WSACloseEvent(m_hStop); }

    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        m_tally = tally;
        m_capacity = where.clients < kMostClients ? where.clients : kMostClients;
        for (DWORD addr : where.addrs) {
            m_listeners.push_back({INVALID_SOCKET, WSACreateEvent()});
            if (!Listen(&m_listeners.back(), addr, where.port)) {
                *why = "cannot listen on the TCP port";
                Stop();
                return false;
            }
        }
        for (Client &listener : m_listeners)
            m_threads.emplace_back([this, &listener] { Serve(listener); });
        return true;
    }

    void Stop() override
    {
        WSASetEvent(m_hStop);
        for (std::thread &t : m_threads)
            t.join();
        m_threads.clear();
        for (Client &listener : m_listeners)
            Close(listener);
        m_listeners.clear();
    }

private:
    bool Listen(Client *listener, DWORD addr, int port)
    {
        listener->socket = BoundSocket(SOCK_STREAM, addr, port, true);
        return listener->socket != INVALID_SOCKET &&
               WSAEventSelect(listener->socket, listener->event, FD_ACCEPT) == 0 &&
               listen(listener->socket, m_capacity) == 0;
    }

    static void Close(Client &c)
    {
        if (c.socket != INVALID_SOCKET)
            closesocket(c.socket);
        WSACloseEvent(c.event);
    }

    void Serve(const Client &listener)
    {
        std::vector<Client> clients;
        std::vector<WSAEVENT> events;
        std::vector<char> buffer(kReadSize);
        for (;;) {
            events.assign({m_hStop, listener.event});
            for (const Client &c : clients)
                events.push_back(c.event);
            DWORD r = WSAWaitForMultipleEvents(static_cast<DWORD>(events.size()), events.data(), FALSE,
                                               WSA_INFINITE, FALSE);
            if (r == WSA_WAIT_EVENT_0)
                break;
            if (r == WSA_WAIT_EVENT_0 + 1)
                Accept(listener, &clients);
            else if (r >= WSA_WAIT_EVENT_0 + 2 && r < WSA_WAIT_EVENT_0 + events.size())
                Read(&clients, r - WSA_WAIT_EVENT_0 - 2, buffer.data());
        }
        for (Client &c : clients)
            Close(c);
    }

    void Accept(const Client &listener, std::vector<Client> *clients)
    {
        WSANETWORKEVENTS happened;
        if (WSAEnumNetworkEvents(listener.socket, listener.event, &happened) != 0 ||
            !(happened.lNetworkEvents & FD_ACCEPT))
            return;
        SOCKET s = accept(listener.socket, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        Client c = {s, WSACreateEvent()};
        if (static_cast<int>(clients->size()) >= m_capacity || WSAEventSelect(s, c.event, FD_READ | FD_CLOSE) != 0)
            Close(c);
        else
            clients->push_back(c);
    }

    void Read(std::vector<Client> *clients, size_t k, char *buffer)
    {
        Client &c = (*clients)[k];
        WSANETWORKEVENTS happened;
        if (WSAEnumNetworkEvents(c.socket, c.event, &happened) != 0)
            return;
        if (happened.lNetworkEvents & FD_READ) {
            int n = recv(c.socket, buffer, kReadSize, 0);
            if (n > 0)
                m_tally->Add(n);
        }
        if (happened.lNetworkEvents & FD_CLOSE) {
            // What the client sent before closing may still wait to be read.
            int n;
            while ((n = recv(c.socket, buffer, kReadSize, 0)) > 0)
                m_tally->Add(n);
            Close(c);
            c = clients->back();
            clients->pop_back();
        }
    }

    WSAEVENT m_hStop;
    Tally *m_tally = nullptr;
    int m_capacity = 0;
    std::vector<Client> m_listeners;  // a listening socket and its accept event per address
    std::vector<std::thread> m_threads;
};

}  // namespace

KESNET_BENCH_RECEIVER(raw_tcp, "raw-tcp", "tcp", 8, "", TcpEventServer);

}  // namespace bench
