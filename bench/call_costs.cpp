// What each step of receiving a datagram costs under this Wine, in
// microseconds per call, each timed in a loop: the figures that explain the
// receive benchmark.
//   cost.recvfrom       a receive that finds a datagram (socket made by socket())
//   cost.recvfrom_sync  the same on a socket made by WSASocket without the
//                       overlapped flag, as the library makes its sockets
//   cost.recv_empty     a receive on a non-blocking socket with nothing waiting
//   cost.wait           WSAWaitForMultipleEvents on a signalled event
//   cost.enum           WSAEnumNetworkEvents
//   cost.reset          WSAResetEvent
//   cost.clear64k       clearing 64 KiB as the datagram listener does
//   cost.memset64k      clearing 64 KiB with the runtime's memset
//   cost.codeptr        IsBadCodePtr
#include "kesnet.h"

#include <string.h>

#include <vector>

#include "common/clear_bytes.h"
#include "support/bench.h"

namespace {

const int kBuffer = 65536;

void __cdecl Nothing(void *, int, void *, unsigned long, int) {}

// A socket bound to the local address with `datagrams` 64-byte datagrams waiting.
class Queue {
public:
    Queue(DWORD local, SOCKET s, int datagrams) : m_socket(s)
    {
        sockaddr_in sa = bench::SocketAddress(local, 0);
        bench::SetIntOption(s, SO_RCVBUF, 1 << 20);  // room for every datagram of a round
        if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
            bench::Fail("cannot bind");
        sa.sin_port = htons(static_cast<u_short>(bench::BoundPort(s)));
        SOCKET sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        char data[64] = {};
        for (int i = 0; i < datagrams; i++)
            sendto(sender, data, sizeof data, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        closesocket(sender);
    }
    ~Queue() { closesocket(m_socket); }
    SOCKET socket() const { return m_socket; }

private:
    SOCKET m_socket;
};

// Microseconds per call, over `count` calls.
double PerCall(int count, const std::function<void()> &call)
{
    double start = bench::Seconds();
    for (int i = 0; i < count; i++)
        call();
    return (bench::Seconds() - start) / count * 1e6;
}

// A receive that finds a datagram waiting on s.
double ReceiveCost(DWORD local, SOCKET s, int count)
{
    Queue q(local, s, count);
    std::vector<char> buffer(kBuffer);
    return PerCall(count, [&] {
        if (recv(q.socket(), buffer.data(), kBuffer, 0) != 64)
            bench::Fail("a receive failed");
    });
}

}  // namespace

int main(int argc, char **argv)
{
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::Library library;
    int count = o.Volume(2000, 50);
    Queue idle(o.local, socket(AF_INET, SOCK_DGRAM, 0), 0);  // nothing ever waits on it
    WSAEVENT event = WSACreateEvent();
    WSAEventSelect(idle.socket(), event, FD_READ);  // also makes the socket non-blocking
    std::vector<unsigned char> buffer(kBuffer);
    ReceiveProc callback = Nothing;
    for (int r = 0; r < o.reps; r++) {
        bench::Sample("cost.recvfrom", "wine", ReceiveCost(o.local, socket(AF_INET, SOCK_DGRAM, 0), count));
        bench::Sample("cost.recvfrom_sync", "wine",
                      ReceiveCost(o.local, WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0), count));
        bench::Sample("cost.recv_empty", "wine", PerCall(count, [&] {
                          recv(idle.socket(), reinterpret_cast<char *>(buffer.data()), kBuffer, 0);
                      }));
        double set = PerCall(count, [&] { WSASetEvent(event); });
        bench::Sample("cost.wait", "wine", PerCall(count, [&] {
                          WSASetEvent(event);
                          WSAWaitForMultipleEvents(1, &event, FALSE, WSA_INFINITE, FALSE);
                      }) - set);
        bench::Sample("cost.enum", "wine", PerCall(count, [&] {
                          WSANETWORKEVENTS happened;
                          WSAEnumNetworkEvents(idle.socket(), event, &happened);
                      }));
        bench::Sample("cost.reset", "wine", PerCall(count, [&] { WSAResetEvent(event); }));
        bench::Sample("cost.clear64k", "wine", PerCall(count, [&] { ClearBytes(buffer.data(), kBuffer); }));
        bench::Sample("cost.memset64k", "wine", PerCall(count, [&] { memset(buffer.data(), 0, kBuffer); }));
        bench::Sample("cost.codeptr", "wine", PerCall(count, [&] {
                          IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void *>(callback)));
                      }));
    }
    WSACloseEvent(event);
    return 0;
}
