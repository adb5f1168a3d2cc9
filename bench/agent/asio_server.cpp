// A TCP server written with standalone Asio the way its users write one: one
// thread running an io_context, an asynchronous accept loop, and per client an
// asynchronous read loop into the client's own buffer. Two kinds: reads of
// 1536 bytes, the most the library hands to one callback, and of 64 KiB, a
// size Asio users pick for bulk data.
#include "agent/receiver.h"

#include <asio.hpp>
#include <memory>
#include <thread>

namespace bench {
namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(asio::ip::tcp::socket socket, size_t readSize, Tally *tally)
        : m_socket(std::move(socket)), m_buffer(readSize), m_tally(tally)
    {
    }

    void Read()
    {
        auto self = shared_from_this();
        m_socket.async_read_some(asio::buffer(m_buffer), [self](const asio::error_code &error, size_t n) {
            if (error)
                return;  // the end of the stream: the socket closes with the session
            self->m_tally->Add(static_cast<int>(n));
            self->Read();
        });
    }

private:
    asio::ip::tcp::socket m_socket;
    std::vector<char> m_buffer;
    Tally *m_tally;
};

template <size_t ReadSize>
class AsioServer : public Receiver {
public:
    bool Start(const Where &where, Tally *tally, std::string *why) override
    {
        m_tally = tally;
        asio::ip::tcp::endpoint local(asio::ip::address_v4(ntohl(where.addrs[0])),
                                      static_cast<unsigned short>(where.port));
        asio::error_code error;
        m_acceptor.open(local.protocol(), error);
        if (!error)
            m_acceptor.set_option(asio::socket_base::reuse_address(true), error);
        if (!error)
            m_acceptor.bind(local, error);
        if (!error)
            m_acceptor.listen(where.clients, error);
        if (error) {
            *why = "Asio cannot listen: " + error.message();
            return false;
        }
        Accept();
        m_thread = std::thread([this] { m_io.run(); });
        return true;
    }

    void Stop() override
    {
        m_io.stop();
        if (m_thread.joinable())
            m_thread.join();
        asio::error_code ignored;
        m_acceptor.close(ignored);
    }

private:
    void Accept()
    {
        m_acceptor.async_accept([this](const asio::error_code &error, asio::ip::tcp::socket socket) {
            if (error)
                return;
            std::make_shared<Session>(std::move(socket), ReadSize, m_tally)->Read();
            Accept();
        });
    }

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor{m_io};
    std::thread m_thread;
    Tally *m_tally = nullptr;
};

using AsioServer1536 = AsioServer<1536>;
using AsioServer65536 = AsioServer<65536>;

}  // namespace

KESNET_BENCH_RECEIVER(asio_1536, "asio-1536", "tcp", 1, "", AsioServer1536);
KESNET_BENCH_RECEIVER(asio_65536, "asio-65536", "tcp", 1, "", AsioServer65536);

}  // namespace bench
