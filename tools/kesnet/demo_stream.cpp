// Demo steps: a file streamed over TCP (KesCreateObject, CTcpListen, CTcpSend),
// and one listener on two addresses with a thread for each (CTcpListen3).
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "args.h"
#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

const int kDemoTcpPort = 31010;
const int kDemoTcpPort3 = 31020;
const size_t kFileSize = 1234567;
const size_t kBlockSize = 65536;

// FNV-1a, 32 bits: enough to tell a file that arrived whole from one that did not.
struct Checksum {
    DWORD value = 2166136261u;
    void Add(const unsigned char *data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            value = (value ^ data[i]) * 16777619u;
    }
};

struct Received {
    HANDLE complete = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    size_t expected = 0;
    size_t bytes = 0;
    size_t reads = 0;
    Checksum checksum;
    DWORD addr = 0;
    int port = 0;
    ~Received() { CloseHandle(complete); }
};

void __cdecl Collect(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    Received *received = static_cast<Received *>(pUserData);
    received->checksum.Add(static_cast<unsigned char *>(pData), nLength);
    received->bytes += nLength;
    ++received->reads;
    received->addr = dwAddr;
    received->port = nPort;
    if (received->bytes >= received->expected)
        SetEvent(received->complete);
}

// Writes kFileSize pseudo-random bytes to a new temporary file; its name goes
// to *path.
bool WriteDemoFile(std::string *path, Checksum *checksum)
{
    char dir[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "kes", 0, name))
        return false;
    *path = name;
    FILE *file = fopen(name, "wb");
    if (file == nullptr)
        return false;
    DWORD state = 0x2545F491;
    std::vector<unsigned char> bytes(kFileSize);
    for (unsigned char &b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<unsigned char>(state);
    }
    checksum->Add(bytes.data(), bytes.size());
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

bool SendDemoFile(CTcpSendObject *sender, const std::string &path, size_t *blocks)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::vector<unsigned char> block(kBlockSize);
    bool ok = true;
    for (size_t n; ok && (n = fread(block.data(), 1, block.size(), file)) > 0; ++*blocks)
        ok = sender->Send(block.data(), static_cast<unsigned long>(n)) == 1;
    fclose(file);
    return ok;
}

bool FileOverTcp(const DemoNetwork &net)
{
    std::string path;
    Checksum sent;
    if (!Check(WriteDemoFile(&path, &sent), "a file of " + std::to_string(kFileSize) + " pseudo-random bytes"))
        return false;
    Say("file", path + ", checksum " + std::to_string(sent.value));

    Received received;
    received.expected = kFileSize;
    tagParamListen listen;
    listen.dwLocalAddr = net.local;
    listen.nPort = kDemoTcpPort;
    listen.pfnReceive = Collect;
    listen.pUserData = &received;
    CTcpListenObject *listener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN));
    bool ok = Check(listener != nullptr && listener->InitInstance(&listen) == 1,
                    "KesCreateObject(1): a CTcpListen on " + Endpoint(net.local, kDemoTcpPort));
    if (ok) {
        DWORD from = net.second ? net.second : net.local;
        tagParamSend connect;
        connect.dwLocalAddr = from;
        connect.dwDestAddr = net.local;
        connect.nDestPort = kDemoTcpPort;
        CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
        ok = Check(sender != nullptr && sender->InitInstance(&connect) == 1,
                   "KesCreateObject(2): a CTcpSend connected from " + Dotted(from));
        size_t blocks = 0;
        if (ok) {
            bool whole = SendDemoFile(sender, path, &blocks);
            ok = Check(whole, "sent the file in " + std::to_string(blocks) + " blocks of at most 64 KiB");
        }
        if (sender != nullptr) {
            sender->Release();
            sender->Delete();
        }
        bool arrived = ok && WaitSignalled(received.complete, 30000);
        listener->Release();  // no callback runs after this
        if (arrived)
            Say("received", std::to_string(received.bytes) + " bytes in " + std::to_string(received.reads) +
                                " reads of at most 1536 bytes from " + Endpoint(received.addr, received.port) +
                                ", checksum " + std::to_string(received.checksum.value));
        ok &= Check(arrived && received.bytes == kFileSize, "the whole length arrived");
        ok &= Check(arrived && received.checksum.value == sent.value, "the checksums match");
    }
    if (listener != nullptr)
        listener->Delete();
    DeleteFileA(path.c_str());
    return ok;
}

// What the listener on two addresses saw: per address, the bytes and the
// thread that delivered them. Its two threads call back at the same time.
struct TwoAddresses {
    DWORD addr[2];
    std::string text[2];
    DWORD thread[2] = {0, 0};
    size_t expected[2];
    HANDLE complete = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CRITICAL_SECTION lock;
    TwoAddresses() { InitializeCriticalSection(&lock); }
    ~TwoAddresses()
    {
        DeleteCriticalSection(&lock);
        CloseHandle(complete);
    }
};

void __cdecl CollectByAddress(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int)
{
    TwoAddresses *seen = static_cast<TwoAddresses *>(pUserData);
    EnterCriticalSection(&seen->lock);
    // Each client connects from the address it connects to, so its own
    // address tells which listening address served it.
    for (int i = 0; i < 2; ++i) {
        if (dwAddr == seen->addr[i]) {
            seen->text[i].append(static_cast<char *>(pData), nLength);
            seen->thread[i] = GetCurrentThreadId();
        }
    }
    if (seen->text[0].size() >= seen->expected[0] && seen->text[1].size() >= seen->expected[1])
        SetEvent(seen->complete);
    LeaveCriticalSection(&seen->lock);
}

// A CTcpSend from addr to addr:port that sends text and closes.
bool SendText(DWORD addr, int port, const char *text)
{
    tagParamSend connect;
    connect.dwLocalAddr = addr;
    connect.dwDestAddr = addr;
    connect.nDestPort = port;
    CTcpSendObject *sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
    bool ok = sender != nullptr && sender->InitInstance(&connect) == 1;
    if (ok) {
        ok = sender->Send(const_cast<char *>(text), static_cast<unsigned long>(strlen(text))) == 1;
        sender->Release();
    }
    if (sender != nullptr)
        sender->Delete();
    return Check(ok, "a CTcpSend from " + Dotted(addr) + " sent \"" + text + "\"");
}

bool TwoAddressesOneThreadEach(const DemoNetwork &net)
{
    // On loopback every 127.x.y.z address is this host's.
    DWORD second = net.second ? net.second : inet_addr("127.0.0.2");
    const char *texts[2] = {"to the first address", "to the second address"};
    TwoAddresses seen;
    seen.addr[0] = net.local;
    seen.addr[1] = second;
    tagParamListen3 listen;
    listen.nPort = kDemoTcpPort3;
    listen.nCount = 2;
    for (int i = 0; i < 2; ++i) {
        listen.dwLocalAddr[i] = seen.addr[i];
        seen.expected[i] = strlen(texts[i]);
    }
    listen.pfnReceive = CollectByAddress;
    listen.pUserData = &seen;
    CTcpListen3Object *listener = static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3));
    bool ok = Check(listener != nullptr && listener->InitInstance(&listen) == 1,
                    "KesCreateObject(5): a CTcpListen3 on " + Endpoint(seen.addr[0], kDemoTcpPort3) + " and " +
                        Endpoint(seen.addr[1], kDemoTcpPort3) + ", a thread for each");
    if (ok) {
        for (int i = 0; i < 2; ++i)
            ok &= SendText(seen.addr[i], kDemoTcpPort3, texts[i]);
        bool arrived = ok && WaitSignalled(seen.complete);
        listener->Release();  // no callback runs after this
        for (int i = 0; i < 2 && arrived; ++i)
            Say("received", "\"" + seen.text[i] + "\" from " + Dotted(seen.addr[i]) + " on thread " +
                                std::to_string(seen.thread[i]));
        ok &= Check(arrived && seen.text[0] == texts[0] && seen.text[1] == texts[1], "both arrived whole");
        ok &= Check(arrived && seen.thread[0] != seen.thread[1], "each address's client was served by its own thread");
    }
    if (listener != nullptr)
        listener->Delete();
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(two_addresses, 70, "One TCP listener on two addresses, a thread for each (KesCreateObject, "
                                    "CTcpListen3)",
                 TwoAddressesOneThreadEach);
KESNET_DEMO_STEP(file_over_tcp, 65, "A file streamed over TCP (KesCreateObject, CTcpListen, CTcpSend)", FileOverTcp);

}  // namespace tool
