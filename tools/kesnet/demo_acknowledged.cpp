// Demo steps: acknowledged sends, and one datagram through two interfaces.
#include <stdio.h>
#include <string.h>

#include <string>

#include "args.h"
#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

const int kEchoingPort = 47002;
const int kSilentPort = 47003;
const int kTwoInterfacesPort = 47004;
const char *kTwoInterfacesGroup = "239.77.0.2";

// What a listener's callbacks got, in order of arrival (the first few).
struct Arrivals {
    struct Copy {
        char text[128];
        DWORD addr;
        int port;
        DWORD threadId;
    };
    static const int kKept = 4;
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CRITICAL_SECTION lock;
    int count = 0;
    Copy copies[kKept] = {};
    Arrivals() { InitializeCriticalSection(&lock); }
    ~Arrivals()
    {
        DeleteCriticalSection(&lock);
        CloseHandle(arrived);
    }
    // Waits (bounded) until n datagrams arrived; copies them out.
    bool WaitFor(int n, Copy *out)
    {
        for (;;) {
            EnterCriticalSection(&lock);
            int have = count;
            if (have >= n)
                memcpy(out, copies, sizeof(Copy) * n);
            LeaveCriticalSection(&lock);
            if (have >= n)
                return true;
            if (!WaitSignalled(arrived))
                return false;
        }
    }
};

void __cdecl Arrive(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    Arrivals *a = static_cast<Arrivals *>(pUserData);
    EnterCriticalSection(&a->lock);
    if (a->count < Arrivals::kKept) {
        Arrivals::Copy &c = a->copies[a->count];
        memset(c.text, 0, sizeof c.text);
        memcpy(c.text, pData, nLength < 127 ? nLength : 127);
        c.addr = dwAddr;
        c.port = nPort;
        c.threadId = GetCurrentThreadId();
    }
    ++a->count;
    LeaveCriticalSection(&a->lock);
    SetEvent(a->arrived);
}

// One acknowledged send; prints the outcome and how long Send took.
int TimedSend(CKesSend2 *sender, const char *text, DWORD dest, int port)
{
    Stopwatch stopwatch;
    int acknowledged = sender->Send(const_cast<char *>(text), static_cast<unsigned long>(strlen(text)), dest, port);
    char took[64];
    snprintf(took, sizeof took, "%.2f ms", stopwatch.Milliseconds());
    Say("Send", "\"" + std::string(text) + "\" -> " + Endpoint(dest, port) + ": " + std::to_string(acknowledged) +
                    " after " + took);
    return acknowledged;
}

bool AcknowledgedSends(const DemoNetwork &net)
{
    Arrivals atEchoing, atSilent;
    tagParamListen echoing;
    echoing.dwLocalAddr = net.local;
    echoing.nPort = kEchoingPort;
    echoing.bEcho = TRUE;
    echoing.pfnReceive = Arrive;
    echoing.pUserData = &atEchoing;
    CKesListen listener;
    if (!Check(listener.InitInstance(&echoing) == 1,
               "CKesListen on " + Endpoint(net.local, kEchoingPort) + ", answering with \"Echo\""))
        return false;
    bool ok = Check(KesListen(KES_MODE_UNICAST, Arrive, kSilentPort, 0, &atSilent, net.local) == 1,
                    "KesListen on " + Endpoint(net.local, kSilentPort) + ": it never answers");

    tagParamSend param;
    param.dwLocalAddr = net.local;
    param.dwEchoTimeout = 500;
    CKesSend2 sender;
    ok &= Check(sender.InitInstance(&param) == 1,
                "CKesSend2 from " + Dotted(net.local) + ", waiting up to 500 ms per send for the echo on " +
                    Endpoint(net.local, ECHO_PORT));
    if (ok) {
        ok &= Check(TimedSend(&sender, "Hand in your work, please.", net.local, kEchoingPort) == 1,
                    "acknowledged: the echo came back from " + Dotted(net.local));
        Arrivals::Copy got[1];
        ok &= Check(atEchoing.WaitFor(1, got), "the echoing listener's callback got it");
        ok &= Check(TimedSend(&sender, "Is anybody there?", net.local, kSilentPort) == 0,
                    "not acknowledged: no echo within the time-out");
        bool delivered = atSilent.WaitFor(1, got);
        ok &= Check(delivered && strcmp(got[0].text, "Is anybody there?") == 0,
                    "yet the datagram was delivered: 0 means unacknowledged, not lost");
    }
    sender.Release();
    KesStopListen();
    listener.Release();
    return ok;
}

// In the private network the datagram goes to a group, which each socket
// joined on its own interface: that is how a copy leaves, and comes back,
// through every interface of this host. On loopback it is sent to 127.0.0.1.
bool TwoInterfaces(const DemoNetwork &net)
{
    DWORD first = net.isPrivate ? net.local : inet_addr("127.0.0.1");
    DWORD second = net.isPrivate ? net.second : inet_addr("127.0.0.2");
    if (second == 0) {
        Say("skipped", "needs a second local interface");
        return true;
    }
    bool multicast = net.isPrivate;
    DWORD dest = multicast ? inet_addr(kTwoInterfacesGroup) : first;
    int mode = multicast ? KES_MODE_MULTICAST : KES_MODE_UNICAST;

    Arrivals arrivals;
    tagParamListen3 listen;
    listen.nMode = mode;
    listen.dwGroupAddr = multicast ? dest : 0;
    listen.nPort = kTwoInterfacesPort;
    listen.dwLocalAddr[0] = first;
    listen.dwLocalAddr[1] = second;
    listen.nCount = 2;
    listen.pfnReceive = Arrive;
    listen.pUserData = &arrivals;
    CKesListen3 listener;
    if (!Check(listener.InitInstance(&listen) == 1, "CKesListen3 on port " + std::to_string(kTwoInterfacesPort) +
                                                        " of " + Dotted(first) + " and " + Dotted(second) +
                                                        (multicast ? ", group " + Dotted(dest) : std::string()) +
                                                        ": one receive thread each"))
        return false;

    tagParamSend3 param;
    param.nMode = mode;
    param.dwLocalAddr[0] = first;
    param.dwLocalAddr[1] = second;
    param.nCount = 2;
    param.dwDestAddr = dest;
    param.nDestPort = kTwoInterfacesPort;
    CKesSend3 sender;
    bool ok = Check(sender.InitInstance(&param) == 1,
                    "CKesSend3 with a socket on " + Dotted(first) + " and one on " + Dotted(second));
    char text[] = "Both rooms, listen up!";
    if (ok)
        ok = Check(sender.Send(reinterpret_cast<unsigned char *>(text), strlen(text), 0, 0) == 1,
                   std::string("Send(\"") + text + "\") -> " + Endpoint(dest, kTwoInterfacesPort) +
                       ": once through each socket");
    Arrivals::Copy got[2];
    if (ok && Check(arrivals.WaitFor(2, got), "two copies arrived")) {
        for (const Arrivals::Copy &c : got) {
            int slot = GetThreadId(listener.m_hThread[0]) == c.threadId ? 0 : 1;
            Say("received", "\"" + std::string(c.text) + "\" from " + Endpoint(c.addr, c.port) +
                                " on the receive thread of " + Dotted(listen.dwLocalAddr[slot]));
        }
    } else {
        ok = false;
    }
    if (!multicast)
        Say("note", "under Wine both copies leave from 127.0.0.1 (it binds 127.0.0.2 to any address);"
                    " the two source ports are the two sockets");
    sender.Release();
    listener.Release();
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(acknowledged, 40, "Acknowledged sends (CKesSend2)", AcknowledgedSends);
KESNET_DEMO_STEP(two_interfaces, 50, "One datagram through two interfaces (CKesSend3, CKesListen3)", TwoInterfaces);

}  // namespace tool
