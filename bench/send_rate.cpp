// How fast datagrams leave, in datagrams per second:
//   send_rate.64, send_rate.1400  CKesSend::Send against sendto on a socket set
//                                 up the same way (address reuse, bound, 64 KiB
//                                 send buffer);
//   oneshot_rate                  KesSend, which makes a socket per datagram,
//                                 against a socket, bind, sendto, close loop;
//                                 against the same loop with the options the
//                                 library sets; and with the two events too
//                                 that every library socket object makes.
// With --auth, what authentication costs the library's sender instead:
//   auth_send_rate.64, auth_send_rate.1400
//                                 CKesSend::Send with the class key against
//                                 the same without a key ("no-key");
//   auth_signed_rate.64           with the class key and the teacher's private
//                                 key, which signs every datagram, against
//                                 the class key alone and no key;
//   auth_stream_rate              the TCP sender (CTcpSendObject) to the stream
//                                 listener in this process, in MB/s, with the
//                                 class key (challenge and proof, then frames
//                                 of at most 16 KiB, each tagged) and without;
//   auth_cast_time                an 8 MiB object cast (KesCastSendBuffer) to
//                                 one receiver in this process, through the
//                                 local address and a multicast group, in
//                                 seconds until KesCastWait says it has it,
//                                 with the class key (a tag on every packet)
//                                 and without;
//   auth_attested_cast_time       the same cast attested by the teacher (the
//                                 process holds the teacher's private key: the
//                                 sender signs the start and every group's
//                                 digest, the receiver checks them), against
//                                 the class key alone and no key.
// Every datagram figure sends to a bound socket on the local address that nobody
// reads: the system drops what overflows its buffer, so only the sending side
// is measured.
#include "kesnet.h"

#include <atomic>
#include <string>
#include <vector>

#include "support/bench.h"

namespace {

const int kSendBuffer = 65536;

struct Endpoint {
    DWORD addr;
    int port;
};

// A plain Winsock UDP socket bound to addr, optionally with the options every
// library sender sets.
SOCKET OpenRawSocket(DWORD addr, bool libraryOptions)
{
    SOCKET s = bench::BoundSocket(SOCK_DGRAM, addr, 0, libraryOptions);
    if (s != INVALID_SOCKET && libraryOptions && !bench::SetIntOption(s, SO_SNDBUF, kSendBuffer)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int RawSendTo(SOCKET s, const std::vector<char> &data, const Endpoint &to)
{
    sockaddr_in sa = bench::SocketAddress(to.addr, to.port);
    return sendto(s, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr *>(&sa),
                  sizeof sa) == static_cast<int>(data.size());
}

// Calls send `count` times; the rate at which it succeeded.
std::vector<double> Rate(int count, const std::function<int()> &send)
{
    double start = bench::Seconds();
    for (int i = 0; i < count; i++)
        if (!send())
            bench::Fail("a send failed");
    return {count / (bench::Seconds() - start)};
}

// The library's sender, under the authentication the variant names.
bench::Variant LibrarySend(const std::string &name, bench::Auth auth, int count, CKesSend &sender,
                           std::vector<char> &data)
{
    return {name, [auth, count, &sender, &data] {
                bench::Authenticate(auth);
                return Rate(count, [&] { return sender.Send(data.data(), static_cast<DWORD>(data.size()), 0, 0); });
            }};
}

void MeasureSend(const bench::Options &o, const Endpoint &sink, int size)
{
    std::vector<char> data(size, 'k');
    tagParamSend param;
    param.dwLocalAddr = o.local;
    param.dwDestAddr = sink.addr;
    param.nDestPort = sink.port;
    CKesSend sender;
    SOCKET raw = OpenRawSocket(o.local, true);
    if (!sender.InitInstance(&param) || raw == INVALID_SOCKET)
        bench::Fail("cannot set up the senders");
    int count = o.Volume(10000, 100);
    std::string figure = "send_rate." + std::to_string(size);
    if (o.auth) {
        bench::Interleave({"auth_" + figure}, o.reps,
                          {LibrarySend("kesnet", bench::Auth::kClassKey, count, sender, data),
                           LibrarySend("no-key", bench::Auth::kNone, count, sender, data)});
        if (size == 64) {
            // A signature costs far more than a send: fewer datagrams keep each
            // repetition short, and the variants beside it send as many.
            int signedCount = o.Volume(1000, 20);
            bench::Interleave({"auth_signed_rate.64"}, o.reps,
                              {LibrarySend("kesnet", bench::Auth::kTeacher, signedCount, sender, data),
                               LibrarySend("class-key", bench::Auth::kClassKey, signedCount, sender, data),
                               LibrarySend("no-key", bench::Auth::kNone, signedCount, sender, data)});
        }
        bench::Authenticate(bench::Auth::kNone);
    } else {
        bench::Interleave({figure}, o.reps,
                          {LibrarySend("kesnet", bench::Auth::kNone, count, sender, data),
                           {"raw", [&] { return Rate(count, [&] { return RawSendTo(raw, data, sink); }); }}});
    }
    sender.Release();
    closesocket(raw);
}

// What the stream listener has read, and an event set once it has read all
// that was sent.
struct StreamSink {
    std::atomic<long long> left{0};
    HANDLE all = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~StreamSink() { CloseHandle(all); }

    static void __cdecl Receive(void *, int length, void *user, unsigned long, int)
    {
        StreamSink *self = static_cast<StreamSink *>(user);
        if ((self->left -= length) <= 0)
            SetEvent(self->all);
    }
};

template <class T>
struct StreamObject {
    T *p;
    explicit StreamObject(int type) : p(static_cast<T *>(KesCreateObject(type)))
    {
        if (p == nullptr)
            bench::Fail("KesCreateObject failed");
    }
    ~StreamObject() { p->Delete(); }
};

// One connection's worth of `total` bytes, sent in 64 KiB calls, in MB/s: from
// the first Send until the listener has read the last byte. Listener and
// connection are made anew under the variant's authentication, so the opening
// (and its challenge) is outside the time.
std::vector<double> StreamRate(const bench::Options &o, bench::Auth auth, long long total)
{
    bench::Authenticate(auth);
    StreamSink sink;
    sink.left = total;
    tagParamListen listen;
    listen.dwLocalAddr = o.local;
    listen.nPort = bench::FreePort(SOCK_STREAM, o.local);
    listen.pUserData = &sink;
    listen.pfnReceive = StreamSink::Receive;
    tagParamSend send;
    send.dwLocalAddr = o.local;
    send.dwDestAddr = o.local;
    send.nDestPort = listen.nPort;
    StreamObject<CTcpListenObject> listener(KES_OBJECT_TCPLISTEN);
    StreamObject<CTcpSendObject> sender(KES_OBJECT_TCPSEND);
    if (!listener.p->InitInstance(&listen) || !sender.p->InitInstance(&send))
        bench::Fail("cannot start the stream listener and connect to it");
    std::vector<char> chunk(65536, 'k');
    double start = bench::Seconds();
    for (long long sent = 0; sent < total; sent += static_cast<long long>(chunk.size()))
        if (!sender.p->Send(chunk.data(), static_cast<unsigned long>(chunk.size())))
            bench::Fail("a stream send failed");
    if (WaitForSingleObject(sink.all, 120000) != WAIT_OBJECT_0)
        bench::Fail("the stream listener did not read everything sent");
    double elapsed = bench::Seconds() - start;
    sender.p->Release();
    listener.p->Release();
    return {total / elapsed / 1e6};
}

void MeasureStream(const bench::Options &o)
{
    long long total = o.Volume(32 << 20, 1 << 20);
    auto under = [&](bench::Auth auth) { return [&o, auth, total] { return StreamRate(o, auth, total); }; };
    bench::Interleave({"auth_stream_rate"}, o.reps,
                      {{"kesnet", under(bench::Auth::kClassKey)}, {"no-key", under(bench::Auth::kNone)}});
}

void __cdecl IgnoreCastEvent(const KES_CAST_EVENT *, void *) {}

// One object of `size` bytes cast to one receiver, in seconds: from
// KesCastSendBuffer until KesCastWait says the receiver has it all. Sender and
// receiver are opened anew under the variant's authentication, the receiver
// expected by id, so the time holds no wait for a stranger to announce itself.
std::vector<double> CastTime(const bench::Options &o, bench::Auth auth, const std::vector<char> &object)
{
    bench::Authenticate(auth);
    const DWORD receiverId = 1;
    KES_CAST_PARAM p = {};
    p.dwSize = sizeof p;
    p.dwGroupAddr = bench::Addr("239.77.9.1");
    p.nPort = bench::FreePort(SOCK_DGRAM, o.local);
    p.dwLocalAddr = o.local;
    p.pfnEvent = IgnoreCastEvent;
    KES_CAST_PARAM receiverParam = p;
    receiverParam.dwReceiverId = receiverId;
    p.pdwExpected = &receiverId;
    p.dwExpected = 1;
    HKESCAST receiver = nullptr, sender = nullptr;
    int opened = KesCastOpen(KES_CAST_RECEIVER, &receiverParam, &receiver);
    if (opened == KES_CAST_OK)
        opened = KesCastOpen(KES_CAST_SENDER, &p, &sender);
    if (opened != KES_CAST_OK)
        bench::Fail(std::string("cannot open the cast: ") + KesCastErrorText(opened));
    double start = bench::Seconds();
    int result = KesCastSendBuffer(sender, object.data(), object.size(), "bench");
    if (result == KES_CAST_OK)
        result = KesCastWait(sender, 120000);
    double elapsed = bench::Seconds() - start;
    if (result != KES_CAST_OK)
        bench::Fail(std::string("the cast did not finish: ") + KesCastErrorText(result));
    KesCastClose(sender);
    KesCastClose(receiver);
    return {elapsed};
}

void MeasureCast(const bench::Options &o)
{
    std::vector<char> object(o.Volume(8 << 20, 256 << 10), 'k');
    auto under = [&](bench::Auth auth) { return [&o, auth, &object] { return CastTime(o, auth, object); }; };
    bench::Interleave({"auth_cast_time"}, o.reps,
                      {{"kesnet", under(bench::Auth::kClassKey)}, {"no-key", under(bench::Auth::kNone)}});
    bench::Interleave({"auth_attested_cast_time"}, o.reps,
                      {{"kesnet", under(bench::Auth::kTeacher)}, {"class-key", under(bench::Auth::kClassKey)},
                       {"no-key", under(bench::Auth::kNone)}});
}

enum OneShotSetup { kPlain, kLibraryOptions, kLibraryOptionsAndEvents };

int RawOneShot(const std::vector<char> &data, const Endpoint &to, DWORD local, OneShotSetup setup)
{
    WSAEVENT events[2] = {WSA_INVALID_EVENT, WSA_INVALID_EVENT};
    if (setup == kLibraryOptionsAndEvents)
        events[0] = WSACreateEvent(), events[1] = WSACreateEvent();
    SOCKET s = OpenRawSocket(local, setup != kPlain);
    int sent = s != INVALID_SOCKET && RawSendTo(s, data, to);
    if (s != INVALID_SOCKET)
        closesocket(s);
    for (WSAEVENT e : events)
        if (e != WSA_INVALID_EVENT)
            WSACloseEvent(e);
    return sent;
}

void MeasureOneShot(const bench::Options &o, const Endpoint &sink)
{
    std::vector<char> data(64, 'k');
    int count = o.Volume(1500, 20);
    bench::Interleave(
        {"oneshot_rate"}, o.reps,
        {{"kesnet", [&] { return Rate(count, [&] { return KesSend(1, data.data(), 64, sink.addr, sink.port, o.local); }); }},
         {"raw", [&] { return Rate(count, [&] { return RawOneShot(data, sink, o.local, kPlain); }); }},
         {"raw-same-setup",
          [&] { return Rate(count, [&] { return RawOneShot(data, sink, o.local, kLibraryOptions); }); }},
         {"raw-same-setup-events",
          [&] { return Rate(count, [&] { return RawOneShot(data, sink, o.local, kLibraryOptionsAndEvents); }); }}});
}

}  // namespace

int main(int argc, char **argv)
{
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::Library library;
    SOCKET sink = OpenRawSocket(o.local, false);
    Endpoint to = {o.local, bench::BoundPort(sink)};
    if (sink == INVALID_SOCKET || to.port == 0)
        bench::Fail("cannot open the receiving socket");
    MeasureSend(o, to, 64);
    MeasureSend(o, to, 1400);
    if (o.auth) {
        MeasureStream(o);
        MeasureCast(o);
        bench::Authenticate(bench::Auth::kNone);
    } else {
        MeasureOneShot(o, to);
    }
    closesocket(sink);
    return 0;
}
