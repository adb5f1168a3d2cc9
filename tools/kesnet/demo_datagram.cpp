// Demo steps: datagrams out and in, the echo, and multicast.
#include <stdio.h>
#include <string.h>

#include <string>

#include "args.h"
#include "demo.h"
#include "kesnet.h"

namespace tool {
namespace {

const int kDemoPort = 31001;
const char *kDemoGroup = "239.77.0.1";

// What one listener's callback saw last.
struct Seen {
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    char text[128] = {};
    int length = 0;
    DWORD addr = 0;
    int port = 0;
    ~Seen() { CloseHandle(arrived); }
};

void __cdecl Remember(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    Seen *seen = static_cast<Seen *>(pUserData);
    memset(seen->text, 0, sizeof seen->text);
    memcpy(seen->text, pData, nLength < 127 ? nLength : 127);
    seen->length = nLength;
    seen->addr = dwAddr;
    seen->port = nPort;
    SetEvent(seen->arrived);
}

bool StartListener(CKesListen *listener, Seen *seen, DWORD local, int port, bool echo, DWORD group = 0)
{
    tagParamListen param;
    param.nMode = group ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
    param.dwGroupAddr = group;
    param.dwLocalAddr = local;
    param.nPort = port;
    param.bEcho = echo;
    param.pfnReceive = Remember;
    param.pUserData = seen;
    return listener->InitInstance(&param) == 1;
}

bool DatagramsAndEchoes(const DemoNetwork &net)
{
    Seen atListener, atEchoPort;
    CKesListen listener, echoCatcher;
    if (!Check(StartListener(&listener, &atListener, net.local, kDemoPort, true),
               "CKesListen on " + Endpoint(net.local, kDemoPort) + ", echo on"))
        return false;
    // This is what the acknowledged sender does inside: listen on port 37102.
    if (!Check(StartListener(&echoCatcher, &atEchoPort, net.local, ECHO_PORT, false),
               "CKesListen on " + Endpoint(net.local, ECHO_PORT) + ", where echoes arrive")) {
        listener.Release();
        return false;
    }
    bool ok = true;
    const char *messages[] = {"Good morning, class.", "Page 42, please.", ""};
    for (const char *message : messages) {
        DWORD length = static_cast<DWORD>(strlen(message));
        ok &= Check(KesSend(KES_MODE_UNICAST, message, length, net.local, kDemoPort, net.local) == 1,
                    "KesSend(\"" + std::string(message) + "\", " + std::to_string(length) + " bytes) -> " +
                        Endpoint(net.local, kDemoPort));
        bool arrived = WaitSignalled(atListener.arrived);
        if (arrived)
            Say("received", std::to_string(atListener.length) + " bytes \"" + atListener.text + "\" from " +
                                Endpoint(atListener.addr, atListener.port) + " (a port of the system's choice)");
        ok &= Check(arrived && atListener.length == static_cast<int>(length), "the listener's callback got it whole");
        bool echoed = WaitSignalled(atEchoPort.arrived);
        if (echoed)
            Say("echo", "\"" + std::string(atEchoPort.text) + "\" (" + std::to_string(atEchoPort.length) +
                            " bytes) from " + Endpoint(atEchoPort.addr, atEchoPort.port) + " to port 37102");
        ok &= Check(echoed && atEchoPort.length == 4 && memcmp(atEchoPort.text, "Echo", 4) == 0,
                    "the listener answered with \"Echo\"");
    }
    echoCatcher.Release();
    listener.Release();
    return ok;
}

bool ProcessWideListener(const DemoNetwork &net)
{
    Seen seen;
    bool ok = Check(KesListen(KES_MODE_UNICAST, Remember, kDemoPort, 0, &seen, net.local) == 1,
                    "KesListen on " + Endpoint(net.local, kDemoPort) + ": the process-wide listener");
    ok &= Check(KesListen(KES_MODE_UNICAST, Remember, kDemoPort + 1, 0, &seen, net.local) == 0,
                "a second KesListen is refused while it runs");
    const char *text = "one call, one datagram";
    ok &= Check(KesSend(KES_MODE_UNICAST, text, static_cast<DWORD>(strlen(text)), net.local, kDemoPort, 0) == 1,
                "KesSend(\"" + std::string(text) + "\")");
    bool arrived = WaitSignalled(seen.arrived);
    if (arrived)
        Say("received", "\"" + std::string(seen.text) + "\" from " + Endpoint(seen.addr, seen.port));
    ok &= Check(arrived, "the callback ran on the listener's own thread");
    ok &= Check(KesStopListen() == 1, "KesStopListen");
    return ok;
}

bool Multicast(const DemoNetwork &net)
{
    if (!net.isPrivate) {
        Say("skipped", "multicast is shown only inside the private network namespace");
        return true;
    }
    DWORD group = inet_addr(kDemoGroup);
    Seen seen;
    CKesListen listener;
    // Bound to any interface: Linux, and so Wine, hands group datagrams only to
    // sockets bound to 0.0.0.0.
    if (!Check(StartListener(&listener, &seen, 0, kDemoPort, false, group),
               std::string("CKesListen in group ") + kDemoGroup + ", port " + std::to_string(kDemoPort)))
        return false;
    const char *text = "to everyone in the group";
    bool ok = Check(KesSend(KES_MODE_MULTICAST, text, static_cast<DWORD>(strlen(text)), group, kDemoPort, net.local) == 1,
                    std::string("KesSend(multicast) -> ") + kDemoGroup + " from " + Dotted(net.local) +
                        ", time-to-live 10");
    bool arrived = WaitSignalled(seen.arrived);
    if (arrived)
        Say("received", "\"" + std::string(seen.text) + "\" from " + Endpoint(seen.addr, seen.port));
    ok &= Check(arrived, "the group member received it");
    listener.Release();
    return ok;
}

}  // namespace

KESNET_DEMO_STEP(datagrams, 10, "Datagrams and the echo (CKesListen, KesSend)", DatagramsAndEchoes);
KESNET_DEMO_STEP(process_listener, 20, "The process-wide listener (KesListen, KesStopListen)", ProcessWideListener);
KESNET_DEMO_STEP(multicast, 30, "Multicast (mode 2)", Multicast);

}  // namespace tool
