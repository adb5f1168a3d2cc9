// kesnet listen: print datagrams as they arrive.
#include "kesnet.h"

#include <stdio.h>

#include "args.h"
#include "command.h"

namespace tool {
namespace {

struct ListenState {
    long long wanted;    // stop after this many datagrams; 0: never
    volatile LONG seen;
    HANDLE done;
    CRITICAL_SECTION printing;  // callbacks of several interfaces may run at once
};

void __cdecl PrintDatagram(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    ListenState *state = static_cast<ListenState *>(pUserData);
    EnterCriticalSection(&state->printing);
    LONG n = InterlockedIncrement(&state->seen);
    printf("[%ld] from %s, %d bytes\n%s", n, Endpoint(dwAddr, nPort).c_str(), nLength,
           HexView(static_cast<unsigned char *>(pData), nLength).c_str());
    LeaveCriticalSection(&state->printing);
    if (state->wanted > 0 && n >= state->wanted)
        SetEvent(state->done);
}

// One interface (or any): a CKesListen, which can echo. Several: a CKesListen3
// with one receive thread per interface, which never echoes.
struct Listener {
    CKesListen single;
    CKesListen3 multi;

    bool Start(tagParamListen *param, const std::vector<DWORD> &locals)
    {
        if (locals.size() <= 1)
            return single.InitInstance(param) == 1;
        tagParamListen3 param3 = OnEachInterface(*param, locals);
        return multi.InitInstance(&param3) == 1;
    }
    void Release()
    {
        single.Release();
        multi.Release();
    }
};

int RunListen(const std::vector<std::string> &argv)
{
    const char *name = "listen";
    Args args(argv, {"group", "from", "count", "seconds"}, {"echo"});
    if (!args.ok())
        return UsageError(name, args.error());
    if (args.positional().size() != 1)
        return UsageError(name, "expected PORT");
    std::string error;
    tagParamListen param;
    long long count = 0, seconds = 0;
    if (!ParsePort(args.positional()[0], &param.nPort, &error) ||
        (args.Has("group") && !ParseIPv4(args.Get("group"), &param.dwGroupAddr, &error)) ||
        !ParseStopAfter(args, &count, &seconds, &error))
        return UsageError(name, error);
    std::vector<DWORD> locals;
    if (!ParseLocalInterfaces(args, &locals, &error))
        return UsageError(name, error);
    if (locals.size() > 1 && args.Has("echo"))
        return UsageError(name, "--echo listens on one interface only (one --from at most)");

    ListenState state = {count, 0, CreateEventA(nullptr, TRUE, FALSE, nullptr), {}};
    InitializeCriticalSection(&state.printing);
    SignalOnInterrupt(state.done);
    param.dwLocalAddr = locals.empty() ? 0 : locals[0];
    param.nMode = args.Has("group") ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
    param.bEcho = args.Has("echo");
    param.pfnReceive = PrintDatagram;
    param.pUserData = &state;

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    std::string where = locals.size() > 1 ? "port " + std::to_string(param.nPort) + " of " + DottedList(locals)
                                          : Endpoint(param.dwLocalAddr, param.nPort);
    Listener listener;
    if (!listener.Start(&param, locals))
        return Failure(name, "cannot listen on " + where +
                                 (args.Has("group") ? " in group " + Dotted(param.dwGroupAddr) : std::string()));
    printf("listening on %s%s%s%s%s\n", where.c_str(),
           locals.size() > 1 ? " (one receive thread each)" : "",
           args.Has("group") ? (", group " + Dotted(param.dwGroupAddr)).c_str() : "",
           param.bEcho ? ", answering each datagram with \"Echo\"" : "",
           count ? (", until " + std::to_string(count) + " datagrams arrived").c_str() : "");
    WaitForSingleObject(state.done, seconds ? static_cast<DWORD>(seconds * 1000) : INFINITE);
    listener.Release();
    CloseHandle(state.done);
    DeleteCriticalSection(&state.printing);
    printf("%ld datagrams received\n", state.seen);
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(listen, "listen", "PORT [--group GROUP] [--from LOCAL]... [--echo] [--count N] [--seconds S]",
               "print datagrams as they arrive",
               "Listens on PORT with a CKesListen and prints each datagram: its source, its\n"
               "length, and a hex and text view. With several --from it listens on PORT of\n"
               "each of those interfaces at once with a CKesListen3, one receive thread each.\n"
               "Without --count or --seconds it runs until interrupted (Ctrl+C).\n",
               {{"PORT", "the UDP port to listen on"}},
               {{"--group GROUP", "join the multicast group GROUP (a member should listen on\n"
                                  "every interface: leave out --from)"},
                {"--from LOCAL", "listen on the local interface LOCAL only; up to eight times"},
                {"--echo", "answer each datagram with \"Echo\" to the sender, port 37102\n"
                           "(one interface only)"},
                {"--count N", "stop after N datagrams"},
                {"--seconds S", "stop after S seconds"}},
               "it listened until --count, --seconds or Ctrl+C",
               "it could not listen (the port or group could not be taken)",
               RunListen, 20);

}  // namespace tool
