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
};

void __cdecl PrintDatagram(void *pData, int nLength, void *pUserData, unsigned long dwAddr, int nPort)
{
    ListenState *state = static_cast<ListenState *>(pUserData);
    LONG n = InterlockedIncrement(&state->seen);
    printf("[%ld] from %s, %d bytes\n%s", n, Endpoint(dwAddr, nPort).c_str(), nLength,
           HexView(static_cast<unsigned char *>(pData), nLength).c_str());
    if (state->wanted > 0 && n >= state->wanted)
        SetEvent(state->done);
}

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
    DWORD addr = 0;
    if (!ParsePort(args.positional()[0], &param.nPort, &error) ||
        (args.Has("group") && !ParseIPv4(args.Get("group"), &param.dwGroupAddr, &error)) ||
        (args.Has("count") && !ParseNumber(args.Get("count"), 1, 1000000000, &count, &error)) ||
        (args.Has("seconds") && !ParseNumber(args.Get("seconds"), 1, 86400, &seconds, &error)))
        return UsageError(name, error);
    std::vector<std::string> locals = args.GetAll("from");
    if (locals.size() > 1)
        return UsageError(name, "one --from at most");
    if (!locals.empty() && !ParseIPv4(locals[0], &addr, &error))
        return UsageError(name, error);

    ListenState state = {count, 0, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    SignalOnInterrupt(state.done);
    param.dwLocalAddr = addr;
    param.nMode = args.Has("group") ? KES_MODE_MULTICAST : KES_MODE_UNICAST;
    param.bEcho = args.Has("echo");
    param.pfnReceive = PrintDatagram;
    param.pUserData = &state;

    Library library;
    if (!library.ok())
        return Failure(name, "Winsock 2.2 could not be started");
    CKesListen listener;
    if (!listener.InitInstance(&param))
        return Failure(name, "cannot listen on " + Endpoint(addr, param.nPort) +
                                 (args.Has("group") ? " in group " + Dotted(param.dwGroupAddr) : std::string()));
    printf("listening on %s%s%s%s\n", Endpoint(addr, param.nPort).c_str(),
           args.Has("group") ? (", group " + Dotted(param.dwGroupAddr)).c_str() : "",
           param.bEcho ? ", answering each datagram with \"Echo\"" : "",
           count ? (", until " + std::to_string(count) + " datagrams arrived").c_str() : "");
    WaitForSingleObject(state.done, seconds ? static_cast<DWORD>(seconds * 1000) : INFINITE);
    listener.Release();
    CloseHandle(state.done);
    printf("%ld datagrams received\n", state.seen);
    return kExitOk;
}

}  // namespace

KESNET_COMMAND(listen, "listen", "PORT [--group GROUP] [--from LOCAL] [--echo] [--count N] [--seconds S]",
               "print datagrams as they arrive",
               "Listens on PORT with a CKesListen and prints each datagram: its source, its\n"
               "length, and a hex and text view. Without --count or --seconds it runs until\n"
               "interrupted (Ctrl+C).\n",
               {{"PORT", "the UDP port to listen on"}},
               {{"--group GROUP", "join the multicast group GROUP (a member should listen on\n"
                                  "every interface: leave out --from)"},
                {"--from LOCAL", "listen on the local interface LOCAL only"},
                {"--echo", "answer each datagram with \"Echo\" to the sender, port 37102"},
                {"--count N", "stop after N datagrams"},
                {"--seconds S", "stop after S seconds"}},
               "it listened until --count, --seconds or Ctrl+C",
               "it could not listen (the port or group could not be taken)",
               RunListen, 20);

}  // namespace tool
