// A host built with a Microsoft-ABI compiler (clang for *-pc-windows-msvc),
// with no Windows SDK and no C runtime: it sees the library only through
// kesnet.h and links an import library made from the DLL's export table. It
// constructs, copies, uses and destroys every exported class on the stack and
// with new and delete (arrays too), runs a datagram exchange, an acknowledged
// send, a multi-interface send and receive and TCP streams through the
// objects of KesCreateObject, and destroys those through their destructor
// slot. Every call into the library is made with the stack pointer checked
// before and after it: a call that removed the wrong number of bytes (a
// calling convention that differs between the two ABIs) is caught at once.
// The whole run is done three times; the last two must leave the process
// heap as they found it, every block of this host's own operator new freed
// once. With
// --heap-checking (run with WINEDEBUG=warn+heap) the system watches every
// block instead: one freed twice, or by the wrong side, is reported.
//
// Prints "ok: ..." and ends with 0 when everything held; "FAILED: ..." lines
// and 1 otherwise.
#define KESNET_NO_WINDOWS_H
#include "kesnet.h"

#include "windows_min.h"

namespace {

const DWORD kLoopback = 0x0100007F;   // 127.0.0.1 in network order
const DWORD kLoopback2 = 0x0200007F;  // 127.0.0.2
const DWORD kWait = 20000;            // bound of every wait, in ms

int g_failures;
int g_calls;  // calls into the library made under the stack check

// ---------------------------------------------------------------------------
// Output, without a C runtime.

void Write(const char *text)
{
    DWORD length = 0, written = 0;
    while (text[length] != '\0')
        ++length;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

void WriteNumber(long value)
{
    // 32-bit arithmetic: 64-bit division would need the C runtime's helpers.
    char digits[12];
    int n = 0;
    bool negative = value < 0;
    unsigned long rest = negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    char text[14];
    int at = 0;
    if (negative)
        text[at++] = '-';
    while (n > 0)
        text[at++] = digits[--n];
    text[at] = '\0';
    Write(text);
}

void Check(bool ok, const char *what)
{
    if (ok)
        return;
    ++g_failures;
    Write("FAILED: ");
    Write(what);
    Write("\n");
}

// ---------------------------------------------------------------------------
// The stack check. The compiler balances the stack around each call as the
// declaration's convention says; if the callee removed other than what that
// convention says, the stack pointer after the statement differs from before.

inline __attribute__((always_inline)) void *StackPointer()
{
    void *sp;
#if defined(_WIN64)
    __asm__ volatile("movq %%rsp, %0" : "=r"(sp) : : "memory");
#else
    __asm__ volatile("movl %%esp, %0" : "=r"(sp) : : "memory");
#endif
    return sp;
}

#define CALL(statement)                                                            \
    do {                                                                           \
        void *before = StackPointer();                                             \
        statement;                                                                 \
        void *after = StackPointer();                                              \
        ++g_calls;                                                                 \
        Check(before == after, "the stack pointer is the same after: " #statement); \
    } while (0)

// ---------------------------------------------------------------------------
// This host's own heap: every allocation counted, every free checked.

long g_blocks;  // blocks of this host's operator new not yet deleted

void *Allocate(size_t size)
{
    void *p = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (p != nullptr)
        __atomic_add_fetch(&g_blocks, 1, __ATOMIC_SEQ_CST);
    return p;
}

void Free(void *p)
{
    if (p == nullptr)
        return;
    Check(HeapFree(GetProcessHeap(), 0, p) != 0, "a block of the host's operator new is freed once");
    __atomic_sub_fetch(&g_blocks, 1, __ATOMIC_SEQ_CST);
}

// The bytes of the process heap's blocks in use.
long HeapBusyBytes()
{
    HANDLE heap = GetProcessHeap();
    long busy = 0;
    if (!HeapLock(heap))
        return -1;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = nullptr;
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            busy += entry.cbData;
    HeapUnlock(heap);
    return busy;
}

// Whether the command line asks for the run under the system's heap checking
// (--heap-checking).
bool HeapChecking()
{
    const char *line = GetCommandLineA();
    const char *option = "--heap-checking";
    for (; *line != '\0'; ++line) {
        int i = 0;
        while (option[i] != '\0' && line[i] == option[i])
            ++i;
        if (option[i] == '\0')
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// What the host's callbacks collect.

struct Inbox {
    HANDLE arrived;      // set when `expected` datagrams or bytes are in
    long expected;
    long count;          // datagrams, or bytes of a stream
    char first[64];      // the start of the first datagram
    unsigned long sum;   // of every byte of a stream
};

// Before the datagrams or bytes of one step are sent; every step waits for
// all of its own, so that none of them can come in after this.
void Reset(Inbox *inbox, long expected)
{
    ResetEvent(inbox->arrived);
    inbox->expected = expected;
    inbox->count = 0;
    inbox->first[0] = '\0';
    inbox->sum = 0;
}

void __cdecl OnDatagram(void *pData, int nLength, void *pUserData, unsigned long, int)
{
    Inbox *inbox = static_cast<Inbox *>(pUserData);
    if (__atomic_load_n(&inbox->count, __ATOMIC_SEQ_CST) == 0) {
        const char *bytes = static_cast<const char *>(pData);
        int n = nLength < 63 ? nLength : 63;
        for (int i = 0; i < n; ++i)
            inbox->first[i] = bytes[i];
        inbox->first[n] = '\0';
    }
    if (__atomic_add_fetch(&inbox->count, 1, __ATOMIC_SEQ_CST) == inbox->expected)
        SetEvent(inbox->arrived);
}

void __cdecl OnStream(void *pData, int nLength, void *pUserData, unsigned long, int)
{
    Inbox *inbox = static_cast<Inbox *>(pUserData);
    const unsigned char *bytes = static_cast<const unsigned char *>(pData);
    for (int i = 0; i < nLength; ++i)
        inbox->sum += bytes[i];
    if (__atomic_add_fetch(&inbox->count, nLength, __ATOMIC_SEQ_CST) == inbox->expected)
        SetEvent(inbox->arrived);
}

bool Arrived(Inbox *inbox)
{
    return WaitForSingleObject(inbox->arrived, kWait) == WAIT_OBJECT_0;
}

bool SameText(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// A port that nothing held a moment ago, for sockets of the given type.
int FreePort(int type)
{
    SOCKET s = socket(AF_INET, type, 0);
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_addr = kLoopback;
    int length = sizeof where;
    int port = 0;
    if (bind(s, &where, sizeof where) == 0 && getsockname(s, &where, &length) == 0)
        port = ((where.sin_port & 0xFF) << 8) | (where.sin_port >> 8);
    closesocket(s);
    return port;
}

tagParamListen ListenRecord(DWORD local, int port, ReceiveProc callback, Inbox *inbox, BOOL echo)
{
    tagParamListen record;
    record.dwLocalAddr = local;
    record.nPort = port;
    record.pfnReceive = callback;
    record.pUserData = inbox;
    record.bEcho = echo;
    return record;
}

// ---------------------------------------------------------------------------
// The records: constructors, Reset and assignment, on the stack and with new.

void Records()
{
    tagParamSend send;
    Check(send.dwSize == sizeof send && send.nMode == 1 && send.dwEchoTimeout == 100,
          "tagParamSend's constructor stores the defaults");
    send.nMode = 7;
    int reset = -1;
    CALL(reset = send.Reset());
    Check(reset == 0 && send.nMode == 1, "tagParamSend::Reset stores the defaults again and returns 0");

    tagParamListen listen;
    Check(listen.dwSize == sizeof listen && listen.nBacklog == 5 && listen.dwStopTimeout == 1000,
          "tagParamListen's constructor stores the defaults");
    tagParamListen copy;
    listen.nPort = 4242;
    CALL(copy = listen);
    Check(copy.nPort == 4242 && copy.nBacklog == 5, "tagParamListen's assignment copies every field");

    tagParamSend3 *send3 = new tagParamSend3;
    Check(send3->dwSize == sizeof *send3 && send3->nCount == 0, "a new tagParamSend3 holds the defaults");
    send3->dwLocalAddr[7] = 9;
    CALL(send3->Reset());
    Check(send3->dwLocalAddr[7] == 0, "tagParamSend3::Reset clears all eight addresses");
    delete send3;

    tagParamListen3 listen3;
    tagParamListen3 other;
    listen3.dwLocalAddr[7] = 1;
    CALL(other = listen3);
    Check(other.dwSize == sizeof other && other.nBacklog == 100 && other.dwLocalAddr[7] == 1,
          "tagParamListen3's constructor and assignment");
}

// ---------------------------------------------------------------------------
// CKesSend and CKesListen: a datagram each way of making them.

void Datagrams(Inbox *inbox)
{
    int port = FreePort(SOCK_DGRAM);
    tagParamListen record = ListenRecord(kLoopback, port, OnDatagram, inbox, 0);
    int started = 0, sent = 0;

    // On the stack.
    {
        CKesListen listener;
        CALL(started = listener.InitInstance(&record));
        Check(started == 1, "CKesListen::InitInstance on the stack");
        CKesSend sender;
        tagParamSend to;
        to.dwDestAddr = kLoopback;
        to.nDestPort = port;
        CALL(started = sender.InitInstance(&to));
        Check(started == 1, "CKesSend::InitInstance on the stack");
        Reset(inbox, 1);
        CALL(sent = sender.Send(const_cast<char *>("on the stack"), 12, 0, 0));
        Check(sent == 1 && Arrived(inbox) && SameText(inbox->first, "on the stack"),
              "a datagram from a CKesSend to a CKesListen, both on the stack");
        CKesSend alias;
        CALL(alias = sender);
        Check(alias.m_pSocket == sender.m_pSocket, "CKesSend's assignment shares the socket");
        CALL(sender.Release());
        CALL(listener.Release());
        // Both destructors run here: the listener's through its own name.
    }

    // With new and delete; CKesListen's virtual destructor releases it.
    CKesListen *listener = new CKesListen;
    Check(listener != nullptr, "new CKesListen");
    CALL(started = listener->InitInstance(&record));
    Check(started == 1, "CKesListen::InitInstance with new");
    Reset(inbox, 2);
    CALL(sent = KesSend(KES_MODE_UNICAST, "through KesSend", 15, kLoopback, port, 0));
    Check(sent == 1, "KesSend");
    CKesSend *sender = new CKesSend;
    tagParamSend to;
    CALL(started = sender->InitInstance(&to));
    CALL(sent = sender->Send(const_cast<char *>("with new"), 8, kLoopback, port));
    Check(started == 1 && sent == 1 && Arrived(inbox) && SameText(inbox->first, "through KesSend"),
          "datagrams from KesSend and a new CKesSend reach a new CKesListen");
    CALL(sender->Release());
    CALL(delete sender);
    CALL(delete listener);

    // Copies: the copy constructor of an idle listener, both then destroyed.
    CKesListen idle;
    CKesListen *copy = nullptr;
    CALL(copy = new CKesListen(idle));
    Check(copy != nullptr && copy->m_hThread == nullptr, "CKesListen's copy constructor");
    CALL(delete copy);
    CKesListen assigned;
    CALL(assigned = idle);

    // Arrays of a class with a virtual destructor, and of one without.
    CKesSend3 *many = new CKesSend3[3];
    Check(many != nullptr && many[2].m_pSocket[0] == nullptr, "new CKesSend3[3]");
    CALL(delete[] many);
    CKesSend *senders = new CKesSend[2];
    CALL(delete[] senders);

    // Placement new, in the host's own memory: the class's placement
    // operators are the DLL's, imported when the compiler does not inline
    // them. The listener works there, and its destructor, called by name,
    // releases it; nothing comes from or goes to the library's heap.
    static unsigned long long room[(sizeof(CKesListen) + sizeof(CKesSend) * 2 + 64) / 8];
    CKesListen *placed = nullptr;
    CALL(placed = new (room) CKesListen);
    Check(static_cast<void *>(placed) == room && placed->m_hThread == nullptr,
          "placement new constructs a CKesListen in the host's memory");
    record.bEcho = FALSE;
    CALL(started = placed->InitInstance(&record));
    Reset(inbox, 1);
    CALL(sent = KesSend(KES_MODE_UNICAST, "placed", 6, kLoopback, port, 0));
    Check(started == 1 && sent == 1 && Arrived(inbox) && SameText(inbox->first, "placed"),
          "a listener made by placement new receives");
    CALL(placed->~CKesListen());
    CKesSend *pair = nullptr;
    CALL(pair = new (room) CKesSend[2]);
    Check(pair != nullptr && pair[1].m_pSocket == nullptr, "placement new[] constructs two CKesSend");
    CALL(pair[1].~CKesSend());
    CALL(pair[0].~CKesSend());
}

// CKesSend2 against a listener that echoes, and one that does not.
void AcknowledgedSends(Inbox *inbox)
{
    int port = FreePort(SOCK_DGRAM), silentPort = FreePort(SOCK_DGRAM);
    tagParamListen echoing = ListenRecord(kLoopback, port, OnDatagram, inbox, 1);
    tagParamListen silent = ListenRecord(kLoopback, silentPort, OnDatagram, inbox, 0);
    CKesListen listener, quiet;
    int started = 0, acknowledged = -1;
    CALL(started = listener.InitInstance(&echoing));
    CALL(started &= quiet.InitInstance(&silent));
    Check(started == 1, "the echoing and the silent listener start");

    CKesSend2 *sender = new CKesSend2;
    tagParamSend to;
    to.dwLocalAddr = kLoopback;
    to.dwEchoTimeout = kWait;
    CALL(started = sender->InitInstance(&to));
    Check(started == 1, "CKesSend2::InitInstance");
    Reset(inbox, 2);
    CALL(acknowledged = sender->Send(const_cast<char *>("answer me"), 9, kLoopback, port));
    Check(acknowledged == 1, "CKesSend2::Send is acknowledged by the echoing listener");
    sender->m_param.dwEchoTimeout = 300;
    CALL(acknowledged = sender->Send(const_cast<char *>("no answer"), 9, kLoopback, silentPort));
    Check(acknowledged == 0, "CKesSend2::Send to a listener without echo is not acknowledged");
    Check(Arrived(inbox), "both datagrams were delivered");
    CALL(sender->Release());
    CALL(delete sender);
    // A copy of a set-up sender shares its echo listener, and destroying the
    // copy would stop it: copy an idle one.
    CKesSend2 idle;
    CKesSend2 *copy = nullptr;
    CALL(copy = new CKesSend2(idle));
    Check(copy != nullptr && copy->m_pSocket == nullptr, "CKesSend2's copy constructor");
    CALL(delete copy);
    CALL(listener.Release());
    CALL(quiet.Release());
}

// CKesSend3 through two local addresses to a CKesListen3 on both.
void MultiInterface(Inbox *inbox)
{
    int port = FreePort(SOCK_DGRAM);
    tagParamListen3 listen;
    listen.nPort = port;
    listen.nCount = 2;
    listen.dwLocalAddr[0] = kLoopback;
    listen.dwLocalAddr[1] = kLoopback2;
    listen.pfnReceive = OnDatagram;
    listen.pUserData = inbox;
    CKesListen3 *listener = new CKesListen3;
    int started = 0, sent = 0;
    CALL(started = listener->InitInstance(&listen));
    Check(started == 1, "CKesListen3 on two addresses");

    tagParamSend3 from;
    from.nCount = 2;
    from.dwLocalAddr[0] = kLoopback;
    from.dwLocalAddr[1] = kLoopback2;
    from.dwDestAddr = kLoopback;
    from.nDestPort = port;
    CKesSend3 sender;
    CALL(started = sender.InitInstance(&from));
    Check(started == 1, "CKesSend3 from two addresses");
    CKesSend3 alias(sender);
    Reset(inbox, 2);
    CALL(sent = alias.Send(reinterpret_cast<unsigned char *>(const_cast<char *>("twice")), 5, 0, 0));
    Check(sent == 1 && Arrived(inbox), "one datagram through each of the two sockets arrives");
    CALL(sender.Release());
    CALL(listener->Release());
    CKesListen3 copy(*listener);
    CALL(delete listener);
}

// ---------------------------------------------------------------------------
// The stream objects, driven through their virtual slots.

void Streams(Inbox *inbox)
{
    static unsigned char block[100000];
    unsigned long sum = 0;
    for (size_t i = 0; i < sizeof block; ++i) {
        block[i] = static_cast<unsigned char>(i * 7 + 3);
        sum += block[i];
    }
    int port = FreePort(SOCK_STREAM);
    void *nothing = &port;
    CALL(nothing = KesCreateObject(3));
    Check(nothing == nullptr, "KesCreateObject(3) makes nothing");

    CTcpListenObject *listener = nullptr;
    CALL(listener = static_cast<CTcpListenObject *>(KesCreateObject(KES_OBJECT_TCPLISTEN)));
    tagParamListen record = ListenRecord(kLoopback, port, OnStream, inbox, 0);
    int started = 0, sent = 0;
    CALL(started = listener->InitInstance(&record));
    Check(started == 1, "CTcpListenObject::InitInstance");

    CTcpSendObject *sender = nullptr;
    CALL(sender = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND)));
    tagParamSend to;
    to.dwDestAddr = kLoopback;
    to.nDestPort = port;
    Reset(inbox, sizeof block);
    CALL(started = sender->InitInstance(&to));
    CALL(sent = sender->Send(block, sizeof block));
    Check(started == 1 && sent == 1, "CTcpSendObject connects and sends");
    Check(Arrived(inbox) && inbox->sum == sum, "every byte of the stream arrives intact");
    CALL(sender->Release());
    CALL(sender->Delete());
    CALL(listener->Release());
    CALL(delete listener);  // slot 2, with bit 0 set

    // Two addresses, one client each; deleted without Release.
    CTcpListen3Object *listener3 = nullptr;
    CALL(listener3 = static_cast<CTcpListen3Object *>(KesCreateObject(KES_OBJECT_TCPLISTEN3)));
    tagParamListen3 record3;
    record3.nPort = port;
    record3.nCount = 2;
    record3.dwLocalAddr[0] = kLoopback;
    record3.dwLocalAddr[1] = kLoopback2;
    record3.pfnReceive = OnStream;
    record3.pUserData = inbox;
    CALL(started = listener3->InitInstance(&record3));
    Check(started == 1, "CTcpListen3Object::InitInstance on two addresses");
    Reset(inbox, 10);
    const DWORD addresses[2] = {kLoopback, kLoopback2};
    for (DWORD address : addresses) {
        CTcpSendObject *client = static_cast<CTcpSendObject *>(KesCreateObject(KES_OBJECT_TCPSEND));
        to.dwDestAddr = address;
        CALL(started = client->InitInstance(&to));
        CALL(sent = client->Send(const_cast<char *>("hello"), 5));
        Check(started == 1 && sent == 1, "a client of each address connects and sends");
        CALL(client->Release());
        CALL(delete client);
    }
    Check(Arrived(inbox), "both clients' bytes arrive");
    CALL(listener3->Delete());
}

void OneRound()
{
    Inbox inbox;
    inbox.arrived = CreateEventA(nullptr, 0, 0, nullptr);
    Records();
    Datagrams(&inbox);
    AcknowledgedSends(&inbox);
    MultiInterface(&inbox);
    Streams(&inbox);
    CloseHandle(inbox.arrived);
}

}  // namespace

// ---------------------------------------------------------------------------
// This host's C++ run-time support: its operator new and delete, and the
// block functions that the compiler calls for copies.

void *operator new(size_t size)
{
    return Allocate(size);
}
void *operator new[](size_t size)
{
    return Allocate(size);
}
void operator delete(void *p) noexcept
{
    Free(p);
}
void operator delete[](void *p) noexcept
{
    Free(p);
}
void operator delete(void *p, size_t) noexcept
{
    Free(p);
}
void operator delete[](void *p, size_t) noexcept
{
    Free(p);
}

extern "C" void *memcpy(void *to, const void *from, size_t n)
{
    volatile unsigned char *t = static_cast<unsigned char *>(to);
    const unsigned char *f = static_cast<const unsigned char *>(from);
    while (n-- > 0)
        *t++ = *f++;
    return to;
}

extern "C" void *memset(void *to, int value, size_t n)
{
    volatile unsigned char *t = static_cast<unsigned char *>(to);
    while (n-- > 0)
        *t++ = static_cast<unsigned char>(value);
    return to;
}

#if defined(_CPPUNWIND)
// Built with exceptions on, the compiler names the C runtime's handler of
// C++ exceptions in every frame with something to undo, and its terminate for
// noexcept functions. No C++ exception is thrown here, so the handler has
// nothing to catch: a system exception passing a frame of the host (on i686
// the handler is in the chain the system walks) goes on to the handlers
// beyond it, as ExceptionContinueSearch says.
extern "C" int __cdecl __CxxFrameHandler3(void *, void *, void *, void *)
{
    return 1;  // ExceptionContinueSearch
}

extern "C" void __cdecl __std_terminate()
{
    Write("FAILED: terminate was called\n");
    ExitProcess(3);
}
#endif

extern "C" void HostStart()
{
    int started = 0;
    CALL(started = KesInitInstance());
    Check(started == 1, "KesInitInstance");
    OneRound();  // warms up what the system keeps (threads, sockets, caches)
    long blocksBefore = g_blocks;
    long before = HeapBusyBytes();
    OneRound();
    long between = HeapBusyBytes();
    OneRound();
    long after = HeapBusyBytes();
    int stopped = 0;
    CALL(stopped = KesExitInstance());
    Check(stopped == 1, "KesExitInstance");

    Check(g_blocks == blocksBefore, "every block of the host's operator new was deleted");
    Check(HeapValidate(GetProcessHeap(), 0, nullptr) != 0, "the process heap is sound");
    // A block that a round fails to free shows in the bytes in use after every
    // round; the system keeps a little of its own on the heap now and then,
    // but not round after round. Wine's heap checking keeps freed blocks aside
    // for a while, so the bytes are compared only without it.
    if (!HeapChecking())
        Check(before >= 0 && !(between > before && after > between),
              "the rounds leave the process heap as they found it");
    if (g_failures == 0) {
        Write("ok: every exported class and stream object used from a Microsoft-ABI host, ");
        WriteNumber(g_calls);
        Write(" calls with the stack intact; the process heap ");
        WriteNumber(before);
        Write(" bytes in use before two rounds, ");
        WriteNumber(between);
        Write(" between them, ");
        WriteNumber(after);
        Write(" after\n");
    }
    ExitProcess(g_failures == 0 ? 0 : 1);
}
