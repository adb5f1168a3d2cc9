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
// With --auth, what each step of authenticating a datagram (and a stream's
// frame) costs instead:
//   cost.hmac_create    BCryptCreateHash of an HMAC-SHA-256 object with the key
//   cost.hmac_data      BCryptHashData of the 80 bytes a 64-byte datagram's tag
//                       covers first (its payload and trailer ids)
//   cost.hmac_data_large BCryptHashData of the 1416 bytes a 1400-byte
//                       datagram's tag covers first
//   cost.hmac_finish    BCryptFinishHash
//   cost.hmac_destroy   BCryptDestroyHash
//   cost.hmac_tag       the library's HMAC of a tag: the steps above, with the
//                       tag's three pieces
//   cost.hmac_reusable  the same three pieces and the finish on a hash object
//                       made once with BCRYPT_HASH_REUSABLE_FLAG
//   cost.frame_hmac     HMAC-SHA-256 of a stream's full frame (its number,
//                       length and 16 KiB of payload): what its tag would cost
//                       as an HMAC
//   cost.frame_gmac     the library's AES-256-GMAC of the same frame, as a
//                       stream's frames are tagged, the key set once
//   cost.ecdsa_sign     the library's signature of a digest (the teacher's)
//   cost.ecdsa_sign_key BCryptSignHash alone, with a key handle made once
//   cost.ecdsa_verify   the library's check of a signature
#include "kesnet.h"

#include <bcrypt.h>
#include <string.h>

#include <vector>

#include "auth/crypto.h"
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

const uint8_t kKey[32] = {1, 2, 3};
// What a 64-byte datagram's tag covers: payload and trailer ids, port, kind.
uint8_t g_covered[80], g_port[2], g_kind[1], g_coveredLarge[1416];
const auth::Piece kPieces[] = {{g_covered, sizeof g_covered}, {g_port, sizeof g_port}, {g_kind, sizeof g_kind}};
// What a stream's full frame's tag covers: its number (to HMAC; GMAC takes it
// as the nonce), length and payload.
uint8_t g_frameNumber[8], g_frame[2 + 16384];
const auth::Piece kFramePieces[] = {{g_frameNumber, sizeof g_frameNumber}, {g_frame, sizeof g_frame}};

BCRYPT_ALG_HANDLE OpenHmac()
{
    BCRYPT_ALG_HANDLE hmac = nullptr;
    if (BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) < 0)
        bench::Fail("cannot open the HMAC provider");
    return hmac;
}

bool HashPieces(BCRYPT_HASH_HANDLE hash, uint8_t digest[auth::kDigestBytes])
{
    bool ok = true;
    for (const auth::Piece &piece : kPieces)
        ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(piece.data), static_cast<ULONG>(piece.size), 0) >= 0;
    return ok && BCryptFinishHash(hash, digest, auth::kDigestBytes, 0) >= 0;
}

// Each step of an HMAC made, used and destroyed per datagram, as the tag of a
// datagram is, timed apart: microseconds per call of each.
void SampleHmacSteps(BCRYPT_ALG_HANDLE hmac, int count)
{
    long long ticks[4] = {};
    uint8_t digest[auth::kDigestBytes];
    for (int i = 0; i < count; i++) {
        BCRYPT_HASH_HANDLE hash = nullptr;
        long long t0 = bench::Ticks();
        bool ok = BCryptCreateHash(hmac, &hash, nullptr, 0, const_cast<PUCHAR>(kKey), sizeof kKey, 0) >= 0;
        long long t1 = bench::Ticks();
        ok = ok && BCryptHashData(hash, g_covered, sizeof g_covered, 0) >= 0;
        long long t2 = bench::Ticks();
        ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
        long long t3 = bench::Ticks();
        ok = ok && BCryptDestroyHash(hash) >= 0;
        long long t4 = bench::Ticks();
        if (!ok)
            bench::Fail("an HMAC step failed");
        ticks[0] += t1 - t0, ticks[1] += t2 - t1, ticks[2] += t3 - t2, ticks[3] += t4 - t3;
    }
    const char *names[4] = {"cost.hmac_create", "cost.hmac_data", "cost.hmac_finish", "cost.hmac_destroy"};
    for (int step = 0; step < 4; step++)
        bench::Sample(names[step], "wine", bench::TicksToSeconds(ticks[step]) / count * 1e6);
}

// A P-256 key pair held by CNG, made once.
BCRYPT_KEY_HANDLE NewSigningKey(BCRYPT_ALG_HANDLE *ecdsa)
{
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptOpenAlgorithmProvider(ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0 ||
        BCryptGenerateKeyPair(*ecdsa, &key, 256, 0) < 0 || BCryptFinalizeKeyPair(key, 0) < 0)
        bench::Fail("cannot make a P-256 key pair");
    return key;
}

void MeasureAuthCosts(const bench::Options &o)
{
    int count = o.Volume(5000, 50);
    int signatures = o.Volume(200, 5);
    int frames = o.Volume(500, 5);
    auth::Gmac gmac;
    if (!gmac.SetKey(kKey))
        bench::Fail("cannot key a GMAC");
    BCRYPT_ALG_HANDLE hmac = OpenHmac();
    BCRYPT_HASH_HANDLE reusable = nullptr;
    if (BCryptCreateHash(hmac, &reusable, nullptr, 0, const_cast<PUCHAR>(kKey), sizeof kKey,
                         BCRYPT_HASH_REUSABLE_FLAG) < 0)
        bench::Fail("no reusable HMAC object");
    auth::TeacherPrivateKey teacher;
    uint8_t digest[auth::kDigestBytes] = {}, signature[auth::kSignatureBytes];
    if (!auth::GenerateTeacherKey(&teacher) || !auth::SignDigest(teacher, digest, signature))
        bench::Fail("cannot make or use a teacher's key");
    BCRYPT_ALG_HANDLE ecdsa = nullptr;
    BCRYPT_KEY_HANDLE signingKey = NewSigningKey(&ecdsa);
    for (int r = 0; r < o.reps; r++) {
        SampleHmacSteps(hmac, count);
        bench::Sample("cost.hmac_data_large", "wine", PerCall(count, [&] {
                          if (BCryptHashData(reusable, g_coveredLarge, sizeof g_coveredLarge, 0) < 0)
                              bench::Fail("an HMAC step failed");
                      }));
        if (BCryptFinishHash(reusable, digest, sizeof digest, 0) < 0)
            bench::Fail("an HMAC step failed");
        bench::Sample("cost.hmac_tag", "wine", PerCall(count, [&] {
                          if (!auth::HmacSha256(kKey, sizeof kKey, kPieces, 3, digest))
                              bench::Fail("an HMAC failed");
                      }));
        bench::Sample("cost.hmac_reusable", "wine", PerCall(count, [&] {
                          if (!HashPieces(reusable, digest))
                              bench::Fail("a reusable HMAC failed");
                      }));
        bench::Sample("cost.frame_hmac", "wine", PerCall(frames, [&] {
                          if (!auth::HmacSha256(kKey, sizeof kKey, kFramePieces, 2, digest))
                              bench::Fail("an HMAC failed");
                      }));
        bench::Sample("cost.frame_gmac", "wine", PerCall(frames, [&] {
                          uint8_t nonce[auth::kGmacNonceBytes] = {}, tag[auth::kGmacTagBytes];
                          if (!gmac.Tag(nonce, g_frame, sizeof g_frame, tag))
                              bench::Fail("a GMAC failed");
                      }));
        bench::Sample("cost.ecdsa_sign", "wine", PerCall(signatures, [&] {
                          if (!auth::SignDigest(teacher, digest, signature))
                              bench::Fail("a signature failed");
                      }));
        bench::Sample("cost.ecdsa_sign_key", "wine", PerCall(signatures, [&] {
                          uint8_t other[auth::kSignatureBytes];
                          ULONG size = 0;
                          if (BCryptSignHash(signingKey, nullptr, digest, sizeof digest, other, sizeof other, &size,
                                             0) < 0)
                              bench::Fail("a signature failed");
                      }));
        bench::Sample("cost.ecdsa_verify", "wine", PerCall(signatures, [&] {
                          if (!auth::VerifyDigest(teacher.pub, digest, signature))
                              bench::Fail("a signature did not verify");
                      }));
    }
    BCryptDestroyKey(signingKey);
    BCryptCloseAlgorithmProvider(ecdsa, 0);
    BCryptDestroyHash(reusable);
    BCryptCloseAlgorithmProvider(hmac, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::Library library;
    if (o.auth) {
        MeasureAuthCosts(o);
        return 0;
    }
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
