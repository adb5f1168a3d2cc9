// Helpers of the stream tests: plain Winsock TCP peers for the library's
// stream objects, a record that is only partly readable, and a callback that
// holds the serving thread until the test lets it go. They use the exported
// header alone, so that hosts of the DLL use them too.
#ifndef KESNET_STREAM_SUPPORT_H
#define KESNET_STREAM_SUPPORT_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace kt {

// One TCP connection made or accepted with plain Winsock calls.
class RawTcp {
public:
    RawTcp() : m_socket(INVALID_SOCKET) {}
    explicit RawTcp(SOCKET s) : m_socket(s) {}
    ~RawTcp() { Close(); }
    RawTcp(const RawTcp &) = delete;
    RawTcp &operator=(const RawTcp &) = delete;

    // Connects from local (any port) to addr:port. false if refused or failed.
    bool Connect(DWORD addr, int port, DWORD local = 0);
    bool ok() const { return m_socket != INVALID_SOCKET; }
    SOCKET socket() const { return m_socket; }
    DWORD localAddr() const;
    int localPort() const;

    bool Send(const void *data, size_t length);
    bool Send(const std::string &text) { return Send(text.data(), text.size()); }
    // Receives what arrives until the peer closes, appending it to *bytes.
    // true if the peer closed (or reset) the connection within ms.
    bool WaitClosed(std::vector<unsigned char> *bytes = nullptr, DWORD ms = Bound());
    bool WaitClosed(DWORD ms) { return WaitClosed(nullptr, ms); }
    // Sends a FIN: the peer sees the end of the stream, and we may still read.
    void ShutdownSend();
    // Closes with a reset instead of a graceful close.
    void Reset();
    void Close();

private:
    SOCKET m_socket;
};

// A listening TCP socket on a port of the system's choice.
class RawTcpServer {
public:
    explicit RawTcpServer(DWORD local = Loopback());
    ~RawTcpServer();
    bool ok() const { return m_socket != INVALID_SOCKET; }
    int port() const { return BoundPort(m_socket); }
    // The next connection, within ms; null on time-out.
    std::unique_ptr<RawTcp> Accept(DWORD ms = Bound());

private:
    SOCKET m_socket;
};

inline std::vector<unsigned char> Bytes(const std::string &text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

// A TCP port that nothing held a moment ago.
int FreeTcpPort();
// True if a connection to addr:port is refused (nothing listens there).
bool ConnectRefused(DWORD addr, int port);

// Memory of which only the first `readable` bytes may be read: the page after
// them is inaccessible. For records that are cut short.
class CutShort {
public:
    explicit CutShort(size_t readable);
    ~CutShort();
    CutShort(const CutShort &) = delete;
    CutShort &operator=(const CutShort &) = delete;
    void *get() const { return m_start; }

private:
    void *m_base;
    void *m_start;
};

// A ReceiveProc that tells the test it is running, then waits until the test
// lets it return: it holds the serving thread inside the host's callback.
// Pass the HeldCallback as pUserData.
struct HeldCallback {
    Gate entered;
    Gate release;
    volatile LONG calls = 0;
    static void __cdecl Receive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort);
};

// Waits for the thread behind h to end within ms, then closes h. false on
// time-out.
bool ThreadEnds(HANDLE h, DWORD ms = Bound());

// Runs fn on a thread of its own and waits for it to return within ms.
// false if it did not; the thread is then left to finish on its own.
bool ReturnsWithin(std::function<void()> fn, DWORD ms = Bound());

}  // namespace kt

#endif
