// Demo step: a file streamed over TCP (KesCreateObject, CTcpListen, CTcpSend).
#include <stdio.h>

#include <string>
#include <vector>

#include "args.h"
#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

const int kDemoTcpPort = 47010;
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
        if (sender != nullptr)
            sender->Release();
        delete sender;
        bool arrived = ok && WaitSignalled(received.complete, 30000);
        listener->Release();  // no callback runs after this
        if (arrived)
            Say("received", std::to_string(received.bytes) + " bytes in " + std::to_string(received.reads) +
                                " reads of at most 1536 bytes from " + Endpoint(received.addr, received.port) +
                                ", checksum " + std::to_string(received.checksum.value));
        ok &= Check(arrived && received.bytes == kFileSize, "the whole length arrived");
        ok &= Check(arrived && received.checksum.value == sent.value, "the checksums match");
    }
    delete listener;
    DeleteFileA(path.c_str());
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(file_over_tcp, 65, "A file streamed over TCP (KesCreateObject, CTcpListen, CTcpSend)", FileOverTcp);

}  // namespace tool
