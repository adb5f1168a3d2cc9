// The round trip of an acknowledged datagram, in microseconds, median and
// 99th percentile of each repetition:
//   round_trip.median, round_trip.p99
//     kesnet  CKesSend2::Send to a CKesListen that echoes, which returns once
//             the echo has come back to the sender's echo port
//     raw     a UDP ping-pong: a raw socket sends, a raw thread answers each
//             datagram with a four-byte reply to the sender, which waits for
//             it in a blocking recvfrom
// Both run on the local address, in this one process.
// With --auth, what the class key costs the acknowledged send instead:
//   auth_round_trip.median, auth_round_trip.p99
//     kesnet  the same round trip with the class key: the datagram and its
//             echo (which names the datagram it answers) are sealed and checked
//     no-key  the same without a key
#include "kesnet.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "support/bench.h"

namespace {

const int kSize = 64;

SOCKET BoundUdp(DWORD local)
{
    SOCKET s = bench::BoundSocket(SOCK_DGRAM, local, 0, false);
    if (s == INVALID_SOCKET)
        bench::Fail("cannot bind a raw socket");
    return s;
}

// Times `count` round trips of `trip`, which returns false if one failed:
// the median and the 99th percentile.
std::vector<double> Time(int count, const std::function<bool()> &trip)
{
    std::vector<double> us;
    for (int i = 0; i < count; i++) {
        double start = bench::Seconds();
        if (!trip())
            bench::Fail("a round trip was not acknowledged");
        us.push_back((bench::Seconds() - start) * 1e6);
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[(us.size() * 99) / 100]};
}

// The raw answering side: a thread that replies to every datagram until it
// receives an empty one.
class RawEcho {
public:
    explicit RawEcho(DWORD local)
        : m_address(bench::SocketAddress(local, 0)), m_socket(BoundUdp(local)), m_thread([this] { Serve(); })
    {
        m_address.sin_port = htons(static_cast<u_short>(bench::BoundPort(m_socket)));
    }
    ~RawEcho()
    {
        sendto(m_socket, "", 0, 0, reinterpret_cast<const sockaddr *>(&m_address), sizeof m_address);
        m_thread.join();
        closesocket(m_socket);
    }
    sockaddr_in Address() const { return m_address; }

private:
    void Serve()
    {
        char buffer[2048];
        for (;;) {
            sockaddr_in from;
            int length = sizeof from;
            int n = recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
            if (n == 0)
                return;
            if (n > 0)
                sendto(m_socket, "Echo", 4, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
        }
    }

    sockaddr_in m_address;
    SOCKET m_socket;
    std::thread m_thread;
};

}  // namespace

int main(int argc, char **argv)
{
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::Library library;
    std::vector<char> data(kSize, 'k');
    int count = o.Volume(1000, 20);

    tagParamListen listen;
    listen.dwLocalAddr = o.local;
    listen.nPort = bench::FreePort(SOCK_DGRAM, o.local);
    listen.bEcho = TRUE;
    listen.pfnReceive = [](void *, int, void *, unsigned long, int) {};
    CKesListen echoer;
    tagParamSend send;
    send.dwLocalAddr = o.local;
    send.dwDestAddr = o.local;
    send.nDestPort = listen.nPort;
    send.dwEchoTimeout = 1000;
    CKesSend2 sender;
    if (!echoer.InitInstance(&listen) || !sender.InitInstance(&send))
        bench::Fail("cannot start the acknowledged sender and its echoing listener");

    RawEcho rawEcho(o.local);
    sockaddr_in to = rawEcho.Address();
    SOCKET client = BoundUdp(o.local);
    char reply[16];

    auto kesnetTrip = [&] { return sender.Send(data.data(), kSize, 0, 0) == 1; };
    auto kesnetUnder = [&](bench::Auth auth) {
        return [&, auth] {
            bench::Authenticate(auth);
            return Time(count, kesnetTrip);
        };
    };
    auto rawTrip = [&] {
        return sendto(client, data.data(), kSize, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == kSize &&
               recv(client, reply, sizeof reply, 0) == 4;
    };
    if (o.auth)
        bench::Interleave({"auth_round_trip.median", "auth_round_trip.p99"}, o.reps,
                          {{"kesnet", kesnetUnder(bench::Auth::kClassKey)},
                           {"no-key", kesnetUnder(bench::Auth::kNone)}});
    else
        bench::Interleave({"round_trip.median", "round_trip.p99"}, o.reps,
                          {{"kesnet", kesnetUnder(bench::Auth::kNone)}, {"raw", [&] { return Time(count, rawTrip); }}});
    bench::Authenticate(bench::Auth::kNone);
    sender.Release();
    echoer.Release();
    closesocket(client);
    return 0;
}
